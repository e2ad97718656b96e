// An open image file, read at 64-bit positions with every call checked. Opening for update
// is reserved to ImageWriter, so that every byte written into an image passes its checks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "io/ImageSource.h"
#include "io/Result.h"

namespace kestrel {

class ImageWriter;

// The file `path` names, or the link itself when `followLink` is false.
Result<FileIdentity> identityAt(const std::string& path, bool followLink = true);

class ImageFile final : public ImageSource {
public:
    static Result<ImageFile> openForReading(const std::string& path);

    ImageFile(ImageFile&& other) noexcept;
    ImageFile& operator=(ImageFile&& other) noexcept;
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    ~ImageFile();

    const std::string& path() const override { return path_; }
    Result<uint64_t> size() const override;
    Result<size_t> readAt(uint64_t offset, std::span<uint8_t> buffer) const override;
    Result<FileIdentity> identity() const override;
    Result<void> close();

private:
    friend class ImageWriter;

    ImageFile(int descriptor, std::string path) : descriptor_(descriptor), path_(std::move(path)) {}
    static Result<ImageFile> open(const std::string& path, int flags, const char* purpose,
                                  unsigned mode = 0);
    Result<void> setSize(uint64_t size);
    Result<void> makePrivate();
    Result<void> writeAt(uint64_t offset, std::span<const uint8_t> bytes);
    Result<void> sync();
    // Starts writing the range to the disk without waiting, so that a later sync has less
    // left to wait for.
    void startWriteback(uint64_t offset, uint64_t length);

    int descriptor_ = -1;
    std::string path_;
};

}  // namespace kestrel
