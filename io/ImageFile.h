// An open image file, read and written at 64-bit positions with every call checked. A write
// never reaches past the file's current end: only `resize` grows or shrinks an image, which
// the undo journal records before it is called, so that nothing that writes through here
// changes an image's length unnoticed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "io/ImageSource.h"
#include "io/Result.h"

namespace kestrel {

// The file `path` names, or the link itself when `followLink` is false.
Result<FileIdentity> identityAt(const std::string& path, bool followLink = true);

// When a file was made and last written, in nanoseconds; zero where the file system keeps none.
struct FileTimes {
    uint64_t birth = 0;
    uint64_t modified = 0;
};

class ImageFile final : public ImageSource {
public:
    static Result<ImageFile> openForReading(const std::string& path);
    static Result<ImageFile> openForUpdate(const std::string& path);
    // For update where the file may be written, else for reading: an image on read-only media
    // or without write permission can still be browsed, and each write says why it cannot be.
    static Result<ImageFile> openForEditing(const std::string& path);
    // Opens `path` for update, creating it readable by its owner only when missing; a symbolic
    // link in its place is refused. A file already there is left as it is.
    static Result<ImageFile> openOrCreate(const std::string& path);

    ImageFile(ImageFile&& other) noexcept;
    ImageFile& operator=(ImageFile&& other) noexcept;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    ~ImageFile();

    const std::string& path() const override { return path_; }
    Result<uint64_t> size() const override;
    Result<size_t> readAt(uint64_t offset, std::span<uint8_t> buffer) const override;
    Result<FileIdentity> identity() const override;
    void readThrough(const PendingWrites* pending) override { pending_ = pending; }
    Result<FileTimes> times() const;
    Result<void> setModifiedTime(uint64_t nanoseconds);
    // Makes the file readable and writable by its owner only.
    Result<void> makePrivate();
    // Takes the file's exclusive advisory lock (flock), or says false when another open file
    // holds it. Every handle duplicate() gives shares the lock, which lasts until all are
    // closed, or the process ends.
    Result<bool> tryLock();
    // Refuses, writing nothing, when the bytes would reach past the file's current end.
    Result<void> writeInside(uint64_t offset, std::span<const uint8_t> bytes);
    Result<void> sync();
    // Sets the file's length: bytes added read as zeros, bytes cut off are gone.
    Result<void> resize(uint64_t length);
    // Starts writing the range to the disk without waiting, so that a later sync has less
    // left to wait for.
    void startWriteback(uint64_t offset, uint64_t length);
    Result<void> close();
    // Another handle on the same open file, whatever its path names meanwhile; it reads
    // without the pending writes this one may be reading through.
    Result<ImageFile> duplicate() const;
    // Why the file cannot be written through this handle; nothing when it can.
    const std::optional<Error>& writeRefusal() const { return writeRefusal_; }
    // The open file, for the undo journal to share its blocks with an entry
    // (io/ExtentClone.h) rather than copy them.
    int descriptor() const { return descriptor_; }

private:
    ImageFile(int descriptor, std::string path) : descriptor_(descriptor), path_(std::move(path)) {}
    static Result<ImageFile> open(const std::string& path, int flags, const char* purpose,
                                  unsigned mode = 0);
    Result<void> writeAt(uint64_t offset, std::span<const uint8_t> bytes);

    int descriptor_ = -1;
    std::string path_;
    const PendingWrites* pending_ = nullptr;
    std::optional<Error> writeRefusal_;
};

}  // namespace kestrel
