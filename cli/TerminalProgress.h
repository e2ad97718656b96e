// The progress of data moving, drawn on stderr as a bar while it is a terminal; a script
// reading stderr sees nothing of it.
#pragma once

#include <string>

#include "ops/BlockTransfer.h"

namespace kestrel::cli {

class TerminalProgress : public OperationObserver {
public:
    explicit TerminalProgress(std::string verb);
    ~TerminalProgress() override;

    void beginFile(const std::string& rowName) override;
    void showPercent(int percent) override;
    bool stopRequested() override { return false; }

private:
    void draw(int percent);

    std::string verb_;
    std::string name_;
    bool shown_ = false;
    bool terminal_ = false;
};

}  // namespace kestrel::cli
