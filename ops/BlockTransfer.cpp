#include "ops/BlockTransfer.h"

#include <algorithm>
#include <memory>

#include "ops/ByteProgress.h"

namespace kestrel {

Result<TransferEnd> transferBlocks(
    uint64_t length, OperationObserver& observer, bool cancellable,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> block)>& moveBlock,
    std::optional<TransferSpan> span) {
    const TransferSpan place = span.value_or(TransferSpan{0, length});
    const ByteProgress progress(place.fileLength);
    // Left unset: every block is filled before it is used, and zeroing a buffer for each of
    // thousands of small files would cost more than their copying.
    const size_t blockSize =
        length <= kWholeFileBlockSize ? static_cast<size_t>(length) : kTransferBlockSize;
    const auto buffer = std::make_unique_for_overwrite<uint8_t[]>(blockSize);
    int shown = progress.percentAfter(place.before);
    for (uint64_t done = 0; done < length;) {
        const uint64_t blockEnd = std::min<uint64_t>(length, done + blockSize);
        if (auto moved = moveBlock(done, std::span(buffer.get(), blockEnd - done)); !moved) {
            return moved.error();
        }
        done = blockEnd;
        for (const int percent = progress.percentAfter(place.before + done); shown < percent;) {
            observer.showPercent(++shown);
        }
        if (cancellable && observer.stopRequested()) {
            return TransferEnd::Stopped;
        }
    }
    return TransferEnd::Completed;
}

}  // namespace kestrel
