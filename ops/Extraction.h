// Extract: copies the data of listed files out of the image into ordinary files in a folder.
// The image is only read.
#pragma once

#include <string>

#include "ops/BlockTransfer.h"
#include "ops/OperationSnapshot.h"

namespace kestrel {

// `folder`/<row name>; refused for a name that is not one file name in that folder.
Result<std::string> extractionPath(const std::string& folder, const std::string& rowName);

// Extracts each snapshot file, in order, each to exactly its recorded length. A stop leaves
// the file in hand with the blocks moved so far; a failed file is reported, leaves an older
// file of its name as it was, and the others still run.
OperationReport extractFiles(const OperationSnapshot& snapshot, const std::string& folder,
                             OperationObserver& observer);

}  // namespace kestrel
