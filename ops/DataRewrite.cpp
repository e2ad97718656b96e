#include "ops/DataRewrite.h"

#include <algorithm>
#include <vector>

#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

Result<void> writeFileData(
    ImageWriter& image, uint64_t dataOffset, uint32_t length, OperationObserver& observer,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> piece)>& fill) {
    std::vector<uint8_t> chunk(std::min<size_t>(length, kSavedChunkSize));
    uint64_t chunkFrom = 0;
    uint64_t chunkTo = 0;
    auto moved = transferBlocks(
        length, observer, false, [&](uint64_t done, std::span<uint8_t> block) -> Result<void> {
            if (done >= chunkTo) {
                chunkFrom = done;
                chunkTo = done + chunk.size() >= length
                              ? length
                              : (done + chunk.size()) / kTransferBlockSize * kTransferBlockSize;
                const auto piece = std::span(chunk).first(chunkTo - chunkFrom);
                if (auto filled = fill(chunkFrom, piece); !filled) {
                    return filled;
                }
                if (auto staged = image.stage(dataOffset + chunkFrom, piece); !staged) {
                    return staged;
                }
            }
            return image.writeAt(dataOffset + done,
                                 std::span(chunk).subspan(done - chunkFrom, block.size()));
        });
    if (!moved) {
        return moved.error();
    }
    return image.finish();
}

}  // namespace

Result<void> rewriteFileData(
    JournalEdit& edit, const OperationSnapshot& snapshot, const SnapshotFile& file,
    OperationObserver& observer,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> piece)>& fill) {
    auto image = ImageWriter::open(snapshot.imagePath, &edit);
    if (!image) {
        return image.error();
    }
    const auto dataOffset = snapshot.dataOffsetIn(file, *image);
    if (!dataOffset) {
        return dataOffset.error();
    }
    observer.beginFile(file.rowName);
    const size_t mark = edit.mark();
    auto written = writeFileData(*image, *dataOffset, file.record->dataLength, observer, fill);
    if (written || edit.mark() == mark) {
        return written;
    }
    Error failed = written.error();
    if (!edit.keepsUndo()) {
        failed.message +=
            "; it was made without undo, so part of " + file.rowName + "'s data may be new";
    } else if (auto restored = edit.rollBackTo(mark); restored) {
        failed.message +=
            "; what was written was put back, so " + file.rowName + " was left as it was";
    } else {
        failed.message += "; putting back what was written failed too (" +
                          restored.error().message + "), and is done when the image is next opened";
    }
    return failed;
}

}  // namespace kestrel
