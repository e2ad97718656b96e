#include "ops/ImageWriter.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace kestrel {

Result<ImageWriter> ImageWriter::open(const std::string& path) {
    auto file = ImageFile::open(path, O_RDWR, "for writing");
    if (!file) {
        return file.error();
    }
    return ImageWriter(std::move(*file));
}

Result<ImageWriter> ImageWriter::createPrivate(const std::string& path, uint64_t size) {
    auto file = ImageFile::open(path, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, "for writing",
                                S_IRUSR | S_IWUSR);
    if (!file) {
        return file.error();
    }
    if (auto made = file->makePrivate(); !made) {
        return made.error();
    }
    if (auto sized = file->setSize(size); !sized) {
        return sized.error();
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
