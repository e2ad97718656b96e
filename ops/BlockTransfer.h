// The frame the three data-moving operations share: how a run reports each file's start
// and percentage and learns that it should stop, what it reports at its end, and the loop
// that moves one file's data in large blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/Result.h"
#include "ops/FileFailure.h"

namespace kestrel {

class OperationObserver {
public:
    virtual ~OperationObserver() = default;

    // A file's data starts to move; its percentage is 0.
    virtual void beginFile(const std::string& rowName) = 0;
    virtual void showPercent(int percent) = 0;
    // Asked before each file, and by a cancellable transfer after every block.
    virtual bool stopRequested() = 0;
};

struct OperationReport {
    std::vector<FileFailure> failures;  // in list order; the other files were done
    bool stopped = false;               // the run ended early at the observer's request
};

enum class TransferEnd { Completed, Stopped };

// A file up to this size moves in one read and one write.
inline constexpr size_t kWholeFileBlockSize = size_t{1} << 20;
// A larger file moves in blocks small enough that a block read stays in the processor's cache
// until it is written: with 1 MiB blocks, extracting a gigabyte took about twice as long.
inline constexpr size_t kTransferBlockSize = size_t{1} << 17;

// Where the bytes one transfer moves lie in the file whose percentage it shows: a file of
// several extents is written one extent at a time.
struct TransferSpan {
    uint64_t before = 0;      // the file's bytes moved before this transfer
    uint64_t fileLength = 0;  // every extent's together
};

// Moves `length` bytes by calling `moveBlock` with the count done so far and a buffer for
// the next block: the whole file when it is small, else blocks of kTransferBlockSize. After
// each block every percentage value the block passed is shown, in order, as if the bytes
// moved one at a time (of the whole file, where `span` places them in one); then a
// cancellable transfer asks whether to stop, and a stop keeps the block just moved.
Result<TransferEnd> transferBlocks(
    uint64_t length, OperationObserver& observer, bool cancellable,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> block)>& moveBlock,
    std::optional<TransferSpan> span = std::nullopt);

}  // namespace kestrel
