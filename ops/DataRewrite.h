// Rewriting one file's data inside the image, in place: what Dummy and Overwrite share.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "ops/BlockTransfer.h"
#include "ops/OperationSnapshot.h"

namespace kestrel {

// Writes exactly the file's recorded length at its data offset in the image, each block as
// `fillBlock` fills it, and syncs the image. Nothing is written when the record was not found
// or the data would not lie wholly inside the image.
Result<void> rewriteFileData(
    const OperationSnapshot& snapshot, const SnapshotFile& file, OperationObserver& observer,
    const std::function<Result<void>(uint64_t done, std::span<uint8_t> block)>& fillBlock);

}  // namespace kestrel
