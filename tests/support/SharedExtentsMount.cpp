#include "support/SharedExtentsMount.h"

#include <sys/mount.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <utility>

namespace kestrel::test {

namespace {

namespace fs = std::filesystem;

// Large enough for a log of the file system's minimum size, sparse, so it costs little.
constexpr auto kFileSystemBytes = uintmax_t{300} << 20;

bool succeeds(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

std::optional<SharedExtentsMount> SharedExtentsMount::make(std::string& whyNot) {
    if (!succeeds("command -v mkfs.xfs")) {
        whyNot = "mkfs.xfs is missing (Debian's xfsprogs)";
        return std::nullopt;
    }
    SharedExtentsMount mount;
    mount.backing_ = std::make_unique<TempDir>();
    const std::string image = mount.backing_->file("xfs.img");
    mount.mountPoint_ = mount.backing_->file("mounted");
    fs::create_directory(mount.mountPoint_);
    std::ofstream(image, std::ios::binary).close();
    fs::resize_file(image, kFileSystemBytes);
    if (!succeeds("mkfs.xfs -q -m reflink=1 " + image)) {
        whyNot = "mkfs.xfs -m reflink=1 failed on " + image;
        return std::nullopt;
    }
    if (!succeeds("mount -o loop " + image + " " + mount.mountPoint_)) {
        whyNot = "cannot loop-mount " + image + " (mounting needs root)";
        mount.mountPoint_.clear();
        return std::nullopt;
    }
    return mount;
}

SharedExtentsMount::SharedExtentsMount(SharedExtentsMount&& other) noexcept
    : backing_(std::move(other.backing_)), mountPoint_(std::exchange(other.mountPoint_, {})) {}

SharedExtentsMount::~SharedExtentsMount() {
    // Lazily, so that a file a failed test left open cannot keep the mount, and its loop
    // device, behind.
    if (!mountPoint_.empty()) {
        ::umount2(mountPoint_.c_str(), MNT_DETACH);
    }
}

}  // namespace kestrel::test
