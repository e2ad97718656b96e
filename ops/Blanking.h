// Dummy: blanks files inside the image. Each file's data, exactly its recorded length from
// the first byte of its extent, becomes zero; its record and the rest of the image stay.
#pragma once

#include "ops/BlockTransfer.h"
#include "ops/OperationSnapshot.h"

namespace kestrel {

// Blanks each snapshot file in order, then syncs the image once. A failed file is
// reported and the others still run; asked to stop, the run ends after the file in hand.
OperationReport blankFiles(const OperationSnapshot& snapshot, OperationObserver& observer);

}  // namespace kestrel
