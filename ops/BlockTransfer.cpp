#include "ops/BlockTransfer.h"

#include <algorithm>

#include "ops/ByteProgress.h"

namespace kestrel {

Result<TransferEnd> transferBlocks(
    uint32_t length, OperationObserver& observer, bool cancellable,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> block)>& moveBlock) {
    const ByteProgress progress(length);
    std::vector<uint8_t> buffer(std::min<size_t>(length, kTransferBlockSize));
    int shown = 0;
    for (uint64_t done = 0; done < length;) {
        // Blocks otherwise end on multiples of the buffer size, which keeps reads and writes
        // aligned to pages after a block cut short by a percentage rise.
        const uint64_t blockEnd =
            std::min<uint64_t>({uint64_t{length}, (done / buffer.size() + 1) * buffer.size(),
                                progress.nextRiseAfter(done)});
        const auto block = std::span(buffer).first(blockEnd - done);
        if (auto moved = moveBlock(done, block); !moved) {
            return moved.error();
        }
        done = blockEnd;
        if (cancellable && observer.stopRequested()) {
            return TransferEnd::Stopped;
        }
        if (const int percent = progress.percentAfter(done); percent != shown) {
            shown = percent;
            observer.showPercent(percent);
        }
    }
    return TransferEnd::Completed;
}

}  // namespace kestrel
