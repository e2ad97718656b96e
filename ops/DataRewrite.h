// Rewriting one file's data inside the image, in place: what Dummy and Overwrite share.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "journal/JournalEdit.h"
#include "ops/BlockTransfer.h"
#include "ops/ImageWriter.h"
#include "ops/OperationSnapshot.h"

namespace kestrel {

// The file data saved for undo with one sync of the journal: a multiple of the transfer
// block, so that no block crosses from one to the next.
inline constexpr size_t kSavedChunkSize = 128 * kTransferBlockSize;

// Fills `piece` of the data, `done` bytes into the file.
using DataFill = std::function<Result<void>(uint64_t done, std::span<uint8_t> piece)>;

// Writes `pieces` of the image, one run of data as `fill` fills it, announced to `observer` as
// `name`; each piece's old bytes are saved to `edit` before it is written, unless they were
// staged in `image` already, from the journal's mark `savedAheadFrom` on. The image is not
// synced here but once per run, by finishRewrite. When a write fails part-way, what was
// written is put back before the error is returned, or, in an edit without undo, stays, and
// the error says so.
Result<void> rewritePieces(ImageWriter& image, JournalEdit& edit,
                           const std::vector<DataPiece>& pieces, const std::string& name,
                           OperationObserver& observer, const DataFill& fill,
                           std::optional<size_t> savedAheadFrom = std::nullopt);

// Writes exactly the file's recorded length at its data, as rewritePieces does. Nothing is
// written when the record was not found or the data would not lie wholly inside the image.
Result<void> rewriteFileData(ImageWriter& image, JournalEdit& edit,
                             const OperationSnapshot& snapshot, const SnapshotFile& file,
                             OperationObserver& observer, const DataFill& fill,
                             std::optional<size_t> savedAheadFrom = std::nullopt);

// Ends a run: syncs the image, then marks the edit complete. When the sync fails, everything
// the run wrote is put back as far as the journal allows, and the error says so.
Result<void> finishRewrite(ImageWriter& image, JournalEdit& edit);

}  // namespace kestrel
