// A new file in a UDF directory: a file entry, its data, and a file identifier naming it behind
// the last one of its directory, in the room its directory's last block has left. On an image
// of UDF alone the entry and data take blocks the partition's space bitmap marks free, and the
// bitmap marks them used; on a bridge image they lie where the ISO 9660 record's data is
// placed, and the partition grows over them. The integrity descriptor counts the blocks, the
// file and its unique ID, in the same edit.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "ops/DirectoryRewrite.h"
#include "ops/ReplacePlacement.h"
#include "ops/Session.h"
#include "ops/UdfSpaceBitmap.h"

namespace kestrel {

// Where a new file's identifier goes in its UDF directory, checked before its data is placed.
struct UdfNewName {
    const UdfDirectory* parent = nullptr;
    std::vector<uint8_t> name;  // in OSTA compressed unicode
    uint64_t identifierAt = 0;  // in the image: behind the directory's last identifier
    size_t identifierSize = 0;
    uint16_t partition = 0;  // the directory's partition reference, which the file's are too
    uint32_t partitionStart = 0;
    uint32_t partitionSectors = 0;
    UdfPartitionPlaces places;
    uint32_t integritySector = 0;
};

// Where a file named `name` (UTF-8) is identified in `parent`; refused, writing nothing, where
// the name is taken or cannot be recorded, the directory is recorded in a way this does not
// add to, or has no room for one more identifier.
Result<UdfNewName> udfNewName(const UdfVolume& volume, const UdfDirectory& parent,
                              const std::string& name);

struct UdfAddition {
    Placement placement;  // of the data
    // The new entry's sector, then the directory's entry and the sector the identifier goes
    // into (the same one for a directory whose identifiers its entry embeds).
    std::vector<DirectoryRewrite> writes;
    // On an image of UDF alone, the bitmap that marks the blocks taken used; a bridge's
    // partition keeps none and grows over them where they lie behind it.
    std::optional<UdfSpaceBitmap> bitmap;
    UdfPartitionPlaces partition;
    uint32_t partitionStart = 0;
    uint32_t partitionSectors = 0;
    UdfBlockRun taken;  // the entry's block and the data's
    uint64_t uniqueId = 0;
};

// What adding `size` bytes modified at `modified` writes once the new entry is the sector
// `entrySector`, which holds `entryBefore` now, and its data lies from `dataSector` on.
Result<UdfAddition> udfAdditionAt(const ImageSource& image, const UdfNewName& name, uint64_t size,
                                  std::time_t modified, uint32_t entrySector,
                                  std::vector<uint8_t> entryBefore, uint32_t dataSector);

// What adding `size` bytes named `name` (UTF-8), modified at `modified`, to the UDF directory
// `directory` of an image of UDF alone writes: the entry and its data in the first run of
// blocks its partition's space bitmap marks free. Refused, writing nothing, as udfNewName is,
// or where the partition keeps no bitmap or has no run of free blocks.
Result<UdfAddition> prepareUdfAddition(Session& session, DirectoryNumber directory,
                                       const std::string& name, uint64_t size,
                                       std::time_t modified);

// On a bridge image: where a file named `name` is identified in the UDF directory that holds
// what the ISO 9660 directory `directory` holds; why it cannot be, otherwise.
Result<UdfNewName> udfTwinName(Session& session, DirectoryNumber directory,
                               const std::string& name);

// What adding `size` bytes modified at `modified` writes on a bridge image once the ISO 9660
// record's data is placed at `placement`, whose last sector, behind the data, is the entry's
// and holds zeros. The partition grows over them where they lie behind it.
Result<UdfAddition> udfTwinAddition(const ImageSource& image, const UdfNewName& name,
                                    const Placement& placement, uint64_t size,
                                    std::time_t modified);

}  // namespace kestrel
