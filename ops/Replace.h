// Replace: a file takes a replacement's exact bytes and size. The bytes go where
// placeReplacement puts them (its own sectors, sectors added at the volume's end, or a gap it
// was asked to use), the rest of their last sector is zeroed, and the record and its Joliet
// twin get the new LBA and size. A volume grown at its end gets its new size in every
// descriptor that records it. The old extent is left as it was. One edit: undo puts every
// byte back and gives the image its length again.
#pragma once

#include <string>
#include <vector>

#include "ops/BlockTransfer.h"
#include "ops/ReplacePlacement.h"
#include "ops/Session.h"

namespace kestrel {

struct ReplaceOptions {
    bool intoGap = false;
    bool keepUndo = true;
    bool dryRun = false;  // writes nothing, and keeps what it would write
};

struct ReplaceOutcome {
    Placement placement;
    uint64_t size = 0;         // the replacement's
    uint64_t imageGrowth = 0;  // the bytes added to the image file
    PatchOutcome patch;
    std::vector<PreviewedRange> previewed;  // of a dry run
};

// Where the replacement at `replacementPath` would go, refused as placeReplacement refuses,
// and for a file of several extents or one of 4 GiB or more.
Result<Placement> placeFileReplacement(Session& session, const RecordLocation& location,
                                       uint64_t size, bool intoGap);

Result<ReplaceOutcome> replaceFile(Session& session, DirectoryNumber directory,
                                   const RecordLocation& location,
                                   const std::string& replacementPath,
                                   const ReplaceOptions& options, OperationObserver& observer);

}  // namespace kestrel
