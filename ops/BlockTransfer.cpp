#include "ops/BlockTransfer.h"

#include <algorithm>

#include "ops/ByteProgress.h"

namespace kestrel {

Result<TransferEnd> transferBlocks(
    uint32_t length, OperationObserver& observer, bool cancellable,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> block)>& moveBlock) {
    const ByteProgress progress(length);
    std::vector<uint8_t> buffer(length <= kWholeFileBlockSize ? length : kTransferBlockSize);
    int shown = 0;
    for (uint64_t done = 0; done < length;) {
        const uint64_t blockEnd = std::min<uint64_t>(length, done + buffer.size());
        if (auto moved = moveBlock(done, std::span(buffer).first(blockEnd - done)); !moved) {
            return moved.error();
        }
        done = blockEnd;
        for (const int percent = progress.percentAfter(done); shown < percent;) {
            observer.showPercent(++shown);
        }
        if (cancellable && observer.stopRequested()) {
            return TransferEnd::Stopped;
        }
    }
    return TransferEnd::Completed;
}

}  // namespace kestrel
