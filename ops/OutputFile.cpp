#include "ops/OutputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace kestrel {

namespace {

bool isOneOf(const struct stat& file, const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
        struct stat other {};
        if (::stat(path.c_str(), &other) == 0 && other.st_dev == file.st_dev &&
            other.st_ino == file.st_ino) {
            return true;
        }
    }
    return false;
}

Error refused(const std::string& path, const std::string& why) {
    return Error{ErrorKind::Io, "Cannot create " + path + ": " + why};
}

}  // namespace

Result<OutputFile> OutputFile::create(const std::string& path,
                                      const std::vector<std::string>& protectedFiles) {
    // Without O_TRUNC, so that nothing is emptied before it is known to be a file we may
    // replace; O_NONBLOCK keeps a pipe without a reader from blocking the open.
    int descriptor;
    do {
        descriptor =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return errno == ELOOP ? refused(path, "a symbolic link of that name is in the way")
                              : systemError("Cannot create", path, errno);
    }
    OutputFile output(descriptor, path);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return systemError("Cannot create", path, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return refused(path, "something other than a regular file has that name");
    }
    if (isOneOf(status, protectedFiles)) {
        return refused(path, "it is the image being edited, which is never overwritten");
    }
    // Emptying a file that is already empty would make some file systems flush it on close.
    if (status.st_size != 0 && ::ftruncate(descriptor, 0) != 0) {
        return systemError("Cannot empty", path, errno);
    }
    return output;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), path_(std::move(other.path_)) {}

OutputFile::~OutputFile() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

Result<void> OutputFile::write(std::span<const uint8_t> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(descriptor_, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return systemError("Cannot write to", path_, put < 0 ? errno : EIO);
        }
        done += static_cast<size_t>(put);
    }
    return {};
}

Result<void> OutputFile::close() {
    return closeDescriptor(descriptor_, path_);
}

Error OutputFile::discard(Error why) {
    (void)close();
    if (::unlink(path_.c_str()) != 0) {
        why.message += "; what was written of it stays, as it could not be removed: " +
                       systemError("Cannot remove", path_, errno).message;
    }
    return why;
}

}  // namespace kestrel
