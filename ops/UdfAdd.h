// Add on an image of UDF alone: a new file entry and its data in blocks the partition's space
// bitmap marks free, and a file identifier naming it behind the last one of its directory, in
// the room its directory's last block has left. The bitmap marks the blocks used, and the
// integrity descriptor counts them, the file and its unique ID, in the same edit.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "ops/DirectoryRewrite.h"
#include "ops/ReplacePlacement.h"
#include "ops/Session.h"
#include "ops/UdfSpaceBitmap.h"

namespace kestrel {

struct UdfAddition {
    Placement placement;  // of the data, behind the new entry's block
    // The new entry's sector, then the directory's entry and the sector the identifier goes
    // into (the same one for a directory whose identifiers its entry embeds).
    std::vector<DirectoryRewrite> writes;
    UdfSpaceBitmap bitmap;
    UdfPartitionPlaces partition;
    UdfBlockRun taken;  // the entry's block and the data's
    uint64_t uniqueId = 0;
};

// What adding `size` bytes named `name` (UTF-8), modified at `modified`, to the UDF directory
// `directory` writes; refused, writing nothing, where the name is taken or cannot be recorded,
// the directory has no room, or the partition keeps no bitmap or has no run of free blocks.
Result<UdfAddition> prepareUdfAddition(Session& session, DirectoryNumber directory,
                                       const std::string& name, uint64_t size,
                                       std::time_t modified);

}  // namespace kestrel
