#include "ops/Blanking.h"

#include <algorithm>

#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

constexpr uint8_t kDummyFill = 0x00;

Result<void> blankFile(const OperationSnapshot& snapshot, const SnapshotFile& file,
                       OperationObserver& observer) {
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
                                [&](uint64_t done, std::span<uint8_t> block) {
                                    std::ranges::fill(block, kDummyFill);
                                    return image->writeAt(*dataOffset + done, block);
                                });
    if (!moved) {
        return moved.error();
    }
    return image->finish();
}

}  // namespace

OperationReport blankFiles(const OperationSnapshot& snapshot, OperationObserver& observer) {
    OperationReport report;
    for (const auto& file : snapshot.files) {
        if (observer.stopRequested()) {
            report.stopped = true;
            break;
        }
        if (auto blanked = blankFile(snapshot, file, observer); !blanked) {
            report.failures.push_back({file.rowName, blanked.error()});
        }
    }
    return report;
}

}  // namespace kestrel
