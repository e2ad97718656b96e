// The progress of data moving, drawn on stderr as a bar while it is a terminal; a script
// reading stderr sees nothing of it. The bar is drawn at most once a frame, so thousands of
// small files are not held back by the terminal, and is erased when the progress ends, before
// the outcome is printed.
#pragma once

#include <chrono>
#include <string>

#include "ops/BlockTransfer.h"

namespace kestrel::cli {

class TerminalProgress : public OperationObserver {
public:
    explicit TerminalProgress(std::string verb);
    // Takes the bar off the terminal's line.
    ~TerminalProgress() override;

    void beginFile(const std::string& rowName) override;
    void showPercent(int percent) override;
    bool stopRequested() override { return false; }

private:
    void drawIfDue();
    void draw();

    std::string verb_;
    std::string name_;
    int percent_ = 0;
    std::chrono::steady_clock::time_point drawnAt_;
    bool shown_ = false;
    bool terminal_ = false;
};

}  // namespace kestrel::cli
