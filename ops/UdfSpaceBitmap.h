// A UDF partition's unallocated space bitmap (ECMA-167 4/14.12): one bit a block, set for a
// free one. On an image of UDF alone, a replacement that does not fit in the file's own blocks
// takes a run of free ones; the edit marks them used and takes as many from the integrity
// descriptor's count of the partition's free blocks, so that the free space stays as the
// file system records it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "image/ExtentMap.h"
#include "image/UdfDescriptors.h"
#include "io/ImageSource.h"
#include "journal/JournalEdit.h"
#include "ops/UdfTwin.h"

namespace kestrel {

struct UdfBlockRun {
    uint32_t block = 0;  // in the partition
    uint32_t count = 0;
};

struct UdfSpaceBitmap {
    uint32_t sector = 0;  // its descriptor's, absolute
    uint32_t partitionStart = 0;
    std::vector<uint8_t> descriptor;  // as read: tag, bit count, byte count, the bits

    uint32_t blocks() const;
    bool isFree(uint32_t block) const;
    uint32_t freeBlocks() const;
    // The first run of `count` blocks the bitmap marks free and no file or structure of `map`
    // holds (a bitmap may mark free what the volume still uses); nothing when there is none.
    std::optional<UdfBlockRun> firstFreeRun(uint32_t count, const ExtentMap& map) const;
};

// The bitmap at `extent` of the partition that starts at `partitionStart`; an error says what
// is wrong with it.
Result<UdfSpaceBitmap> readUdfSpaceBitmap(const ImageSource& image, const UdfVolumeExtent& extent,
                                          uint32_t partitionStart);

// Marks `taken` used in `bitmap`, where the partition keeps one, and takes as many from the
// free space table entry of the partition in the last integrity descriptor. For a new file,
// `newFileId` is the unique ID it was given: the descriptor's next ID must still be that one, and
// it moves on by one, as the count of files does. Refused, writing nothing, when the bitmap or the
// integrity descriptor no longer holds what was read. A replaced file's old blocks stay marked
// used: another file may share them, as relinked files do.
Result<void> takeUdfBlocks(JournalEdit& edit, const std::optional<UdfSpaceBitmap>& bitmap,
                           const UdfPartitionPlaces& partition, UdfBlockRun taken,
                           std::optional<uint64_t> newFileId = std::nullopt);

// The unique ID the integrity descriptor at `sector` gives the next new file (never below 16,
// which UDF keeps for itself).
Result<uint64_t> nextUdfUniqueId(const ImageSource& image, uint32_t sector);

}  // namespace kestrel
