// A small XFS file system with shared extents (reflink), made in a file and loop-mounted, for
// the tests of the undo journal's cloned ranges. Mounting needs root, as the tests have in CI;
// elsewhere the tests skip with the reason.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "support/TestFiles.h"

namespace kestrel::test {

class SharedExtentsMount {
public:
    // Mounted, or nothing with `whyNot` saying why not.
    static std::optional<SharedExtentsMount> make(std::string& whyNot);

    SharedExtentsMount(SharedExtentsMount&& other) noexcept;
    SharedExtentsMount& operator=(SharedExtentsMount&&) = delete;
    ~SharedExtentsMount();

    std::string file(const std::string& name) const { return mountPoint_ + "/" + name; }

private:
    SharedExtentsMount() = default;

    std::unique_ptr<TempDir> backing_;  // holds the file system's file and its mount point
    std::string mountPoint_;
};

}  // namespace kestrel::test
