#include "ops/Overwrite.h"

#include <algorithm>

#include "image/ImageFile.h"
#include "ops/ImageWriter.h"

namespace kestrel {

Result<void> overwriteFile(const OperationSnapshot& snapshot, const std::string& replacementPath,
                           OperationObserver& observer) {
    const SnapshotFile& file = snapshot.files.front();
    auto replacement = ImageFile::openForReading(replacementPath);
    if (!replacement) {
        return replacement.error();
    }
    auto image = ImageWriter::open(snapshot.imagePath);
    if (!image) {
        return image.error();
    }
    const auto dataOffset = snapshot.dataOffsetIn(file, *image);
    if (!dataOffset) {
        return dataOffset.error();
    }
    observer.beginFile(file.rowName);
    auto moved = transferBlocks(file.record->dataLength, observer, false,
                                [&](uint64_t done, std::span<uint8_t> block) -> Result<void> {
                                    const auto got = replacement->readAt(done, block);
                                    if (!got) {
                                        return got.error();
                                    }
                                    std::fill(block.begin() + static_cast<ptrdiff_t>(*got),
                                              block.end(), uint8_t{0});
                                    return image->writeAt(*dataOffset + done, block);
                                });
    if (!moved) {
        return moved.error();
    }
    return image->finish();
}

}  // namespace kestrel
