// Dummy: blanks files inside the image. Each file's data, exactly its recorded length from
// the first byte of its extent, becomes zero; its record and the rest of the image stay.
#pragma once

#include <optional>

#include "ops/BlockTransfer.h"
#include "ops/ImageWriter.h"
#include "ops/OperationSnapshot.h"

namespace kestrel {

// Blanks one snapshot file as part of `edit`, through `image`, which is not synced here; the
// old bytes are saved as it goes, unless staged already from the journal's `savedAheadFrom`.
Result<void> blankFile(ImageWriter& image, JournalEdit& edit, const OperationSnapshot& snapshot,
                       const SnapshotFile& file, OperationObserver& observer,
                       std::optional<size_t> savedAheadFrom = std::nullopt);

// Blanks each snapshot file in order, then syncs the image once. A failed file is
// reported and the others still run; asked to stop, the run ends after the file in hand.
OperationReport blankFiles(const OperationSnapshot& snapshot, OperationObserver& observer);

}  // namespace kestrel
