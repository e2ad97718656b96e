#include "ops/DataRewrite.h"

#include "ops/ImageWriter.h"

namespace kestrel {

Result<void> rewriteFileData(
    const OperationSnapshot& snapshot, const SnapshotFile& file, OperationObserver& observer,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> block)>& fillBlock) {
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
                                    if (auto filled = fillBlock(done, block); !filled) {
                                        return filled;
                                    }
                                    return image->writeAt(*dataOffset + done, block);
                                });
    if (!moved) {
        return moved.error();
    }
    return image->finish();
}

}  // namespace kestrel
