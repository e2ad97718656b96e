#include "io/ImageFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <utility>

namespace kestrel {

namespace {

constexpr uint64_t kMaxPosition = static_cast<uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

Result<ImageFile> ImageFile::open(const std::string& path, int flags, const char* purpose,
                                  unsigned mode) {
    // O_NONBLOCK lets the open of a pipe without a writer return, to be refused below as
    // no regular file, instead of waiting for ever; a regular file is then set to block again.
    int descriptor;
    do {
        descriptor =
            ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, static_cast<mode_t>(mode));
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0 && errno == ELOOP && (flags & O_NOFOLLOW) != 0) {
        return Error{ErrorKind::Io,
                     "Cannot open " + path + " " + purpose + ": it is a symbolic link"};
    }
    if (descriptor < 0) {
        return systemError("Cannot open", path + " " + purpose, errno);
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        const int error = errno;
        ::close(descriptor);
        return systemError("Cannot open", path + " " + purpose, error);
    }
    if (!S_ISREG(status.st_mode)) {
        ::close(descriptor);
        return Error{ErrorKind::Io, "Cannot open " + path + " " + purpose + ": not a regular file"};
    }
    const int statusFlags = ::fcntl(descriptor, F_GETFL);
    if (statusFlags < 0 || ::fcntl(descriptor, F_SETFL, statusFlags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        ::close(descriptor);
        return systemError("Cannot open", path + " " + purpose, error);
    }
    return ImageFile(descriptor, path);
}

Result<ImageFile> ImageFile::openForReading(const std::string& path) {
    return open(path, O_RDONLY, "for reading");
}

Result<ImageFile> ImageFile::openForUpdate(const std::string& path) {
    return open(path, O_RDWR, "for writing");
}

Result<ImageFile> ImageFile::openForEditing(const std::string& path) {
    auto file = openForUpdate(path);
    if (file) {
        return file;
    }
    auto readable = openForReading(path);
    if (readable) {
        readable->writeRefusal_ = file.error();
    }
    return readable;
}

Result<ImageFile> ImageFile::duplicate() const {
    const int descriptor = ::fcntl(descriptor_, F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0) {
        return systemError("Cannot open", path_ + " again", errno);
    }
    ImageFile copy(descriptor, path_);
    copy.writeRefusal_ = writeRefusal_;
    return copy;
}

Result<ImageFile> ImageFile::openOrCreate(const std::string& path) {
    return open(path, O_RDWR | O_CREAT | O_NOFOLLOW, "for writing", S_IRUSR | S_IWUSR);
}

ImageFile::ImageFile(ImageFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)),
      path_(std::move(other.path_)),
      pending_(other.pending_),
      writeRefusal_(std::move(other.writeRefusal_)) {}

ImageFile& ImageFile::operator=(ImageFile&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = std::exchange(other.descriptor_, -1);
        path_ = std::move(other.path_);
        pending_ = other.pending_;
        writeRefusal_ = std::move(other.writeRefusal_);
    }
    return *this;
}

ImageFile::~ImageFile() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

// Asked before every write, so it is asked of the kernel in the cheapest way: the file is
// regular and every read and write names its position, so moving the offset costs nothing.
Result<uint64_t> ImageFile::size() const {
    if (pending_ != nullptr && pending_->length()) {
        return *pending_->length();
    }
    const off_t end = ::lseek(descriptor_, 0, SEEK_END);
    if (end < 0) {
        return systemError("Cannot read the size of", path_, errno);
    }
    return static_cast<uint64_t>(end);
}

namespace {

FileIdentity identityOf(const struct stat& status) {
    return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
}

}  // namespace

Result<FileIdentity> identityAt(const std::string& path, bool followLink) {
    struct stat status {};
    const int failed = followLink ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
    if (failed != 0) {
        return systemError("Cannot read", path, errno);
    }
    return identityOf(status);
}

Result<FileIdentity> ImageFile::identity() const {
    struct stat status {};
    if (::fstat(descriptor_, &status) != 0) {
        return systemError("Cannot read the identity of", path_, errno);
    }
    return identityOf(status);
}

Result<size_t> ImageFile::readAt(uint64_t offset, std::span<uint8_t> buffer) const {
    size_t done = 0;
    while (done < buffer.size() && offset + done < kMaxPosition) {
        const auto count = std::min<uint64_t>(buffer.size() - done, kMaxPosition - offset - done);
        const ssize_t got =
            ::pread(descriptor_, buffer.data() + done, count, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return systemError("Cannot read", path_, errno);
        }
        if (got == 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    if (pending_ == nullptr) {
        return done;
    }
    // A dry run's growth reads as zeros until it writes there.
    if (const auto length = pending_->length()) {
        const auto held = static_cast<size_t>(
            std::min<uint64_t>(buffer.size(), offset < *length ? *length - offset : 0));
        std::fill(buffer.begin() + static_cast<ptrdiff_t>(std::min(done, held)),
                  buffer.begin() + static_cast<ptrdiff_t>(held), uint8_t{0});
        done = held;
    }
    if (const auto unknown = pending_->overlay(offset, buffer, done)) {
        return Error{ErrorKind::InvalidInput,
                     "A dry run keeps only part of the data a plan writes, and this reads byte " +
                         std::to_string(*unknown) + " of " + path_ +
                         ", which an earlier edit writes as data it did not keep; dry-run the "
                         "plan in parts to see what is read there"};
    }
    return done;
}

Result<void> ImageFile::writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
    if (writeRefusal_) {
        return *writeRefusal_;
    }
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::pwrite(descriptor_, bytes.data() + done, bytes.size() - done,
                                     static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            return systemError("Cannot write to", path_, errno);
        }
        if (put == 0) {
            return systemError("Cannot write to", path_, EIO);
        }
        done += static_cast<size_t>(put);
    }
    return {};
}

Result<FileTimes> ImageFile::times() const {
    struct statx status {};
    if (::statx(descriptor_, "", AT_EMPTY_PATH, STATX_BTIME | STATX_MTIME, &status) != 0) {
        return systemError("Cannot read the times of", path_, errno);
    }
    const auto nanoseconds = [](const statx_timestamp& time) {
        return static_cast<uint64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
    };
    FileTimes times;
    if ((status.stx_mask & STATX_BTIME) != 0) {
        times.birth = nanoseconds(status.stx_btime);
    }
    if ((status.stx_mask & STATX_MTIME) != 0) {
        times.modified = nanoseconds(status.stx_mtime);
    }
    return times;
}

Result<void> ImageFile::setModifiedTime(uint64_t nanoseconds) {
    const timespec times[2] = {{0, UTIME_OMIT},
                               {static_cast<time_t>(nanoseconds / 1'000'000'000),
                                static_cast<long>(nanoseconds % 1'000'000'000)}};
    if (::futimens(descriptor_, times) != 0) {
        return systemError("Cannot set the time of", path_, errno);
    }
    return {};
}

Result<void> ImageFile::makePrivate() {
    if (::fchmod(descriptor_, S_IRUSR | S_IWUSR) != 0) {
        return systemError("Cannot make private", path_, errno);
    }
    return {};
}

Result<bool> ImageFile::tryLock() {
    if (::flock(descriptor_, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    if (errno == EWOULDBLOCK) {
        return false;
    }
    return systemError("Cannot lock", path_, errno);
}

Result<void> ImageFile::writeInside(uint64_t offset, std::span<const uint8_t> bytes) {
    const auto size = this->size();
    if (!size) {
        return size.error();
    }
    if (offset > *size || bytes.size() > *size - offset) {
        return Error{ErrorKind::OutOfRange, "Refused to write " + std::to_string(bytes.size()) +
                                                " bytes at byte " + std::to_string(offset) +
                                                " of " + path_ + ": the file ends at byte " +
                                                std::to_string(*size)};
    }
    return writeAt(offset, bytes);
}

void ImageFile::startWriteback(uint64_t offset, uint64_t length) {
    ::sync_file_range(descriptor_, static_cast<off_t>(offset), static_cast<off_t>(length),
                      SYNC_FILE_RANGE_WRITE);
}

Result<void> ImageFile::sync() {
    if (::fsync(descriptor_) != 0) {
        return systemError("Cannot flush", path_, errno);
    }
    return {};
}

Result<void> ImageFile::resize(uint64_t length) {
    if (writeRefusal_) {
        return *writeRefusal_;
    }
    if (::ftruncate(descriptor_, static_cast<off_t>(length)) != 0) {
        return systemError("Cannot change the length of", path_, errno);
    }
    return {};
}

Result<void> ImageFile::close() {
    return closeDescriptor(descriptor_, path_);
}

}  // namespace kestrel
