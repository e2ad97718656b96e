#include "ops/ImageWriter.h"

#include <fcntl.h>

namespace kestrel {

Result<ImageWriter> ImageWriter::open(const std::string& path) {
    auto file = ImageFile::open(path, O_RDWR, "for writing");
    if (!file) {
        return file.error();
    }
    return ImageWriter(std::move(*file));
}

Result<void> ImageWriter::writeAt(uint64_t offset, std::span<const uint8_t> bytes) {
    const auto size = file_.size();
    if (!size) {
        return size.error();
    }
    if (offset > *size || bytes.size() > *size - offset) {
        return Error{ErrorKind::OutOfRange, "Refused to write " + std::to_string(bytes.size()) +
                                                " bytes at byte " + std::to_string(offset) +
                                                " of " + path() + ": the file ends at byte " +
                                                std::to_string(*size)};
    }
    return file_.writeAt(offset, bytes);
}

Result<void> ImageWriter::finish() {
    if (auto synced = file_.sync(); !synced) {
        return synced;
    }
    return file_.close();
}

}  // namespace kestrel
