// The only way bytes get into an image or the layer-1 copy. It writes only inside the file
// as it is now (an edit never grows or shrinks an image), checks every call, and syncs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "io/ImageFile.h"

namespace kestrel {

class ImageWriter {
public:
    static Result<ImageWriter> open(const std::string& path);
    // Creates `path`, or empties the file already there, readable by its owner only and
    // `size` bytes long, all zero; a symbolic link in its place is refused.
    static Result<ImageWriter> createPrivate(const std::string& path, uint64_t size);

    const std::string& path() const { return file_.path(); }
    Result<uint64_t> size() const { return file_.size(); }
    Result<size_t> readAt(uint64_t offset, std::span<uint8_t> buffer) const {
        return file_.readAt(offset, buffer);
    }
    // Refuses, writing nothing, when the bytes would reach past the file's current end.
    Result<void> writeAt(uint64_t offset, std::span<const uint8_t> bytes);
    Result<void> sync() { return file_.sync(); }
    // Syncs and closes; the bytes are on the disk when this succeeds.
    Result<void> finish();

private:
    explicit ImageWriter(ImageFile file) : file_(std::move(file)) {}

    ImageFile file_;
};

}  // namespace kestrel
