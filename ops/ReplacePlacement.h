// Where a replacement of a file goes, so that it takes its exact bytes and size while no byte
// that belongs to anything else is written: the file's own sectors when it fits there, else
// sectors added at the volume's end, or, only when asked, a gap of zeros inside the volume.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "image/ExtentMap.h"
#include "image/RecordLookup.h"
#include "image/VolumeStructures.h"
#include "io/ImageSource.h"

namespace kestrel {

// FreeBlocks: blocks that a UDF partition's space bitmap marks free, on an image of UDF alone.
enum class PlacementKind { OwnExtent, VolumeEnd, Gap, FreeBlocks };

struct Placement {
    PlacementKind kind = PlacementKind::OwnExtent;
    uint32_t lba = 0;
    uint32_t sectors = 0;  // the replacement's
    // The volume's size once the replacement is placed; more than now only at its end, where
    // a UDF anchor that ended the volume follows the replacement.
    uint32_t volumeSectors = 0;
};

// What the placement looks at besides the map.
struct PlacementScene {
    // The image's user data, which holds the presented volume from `volumeStart` on: the
    // sectors placed, what follows the volume and the partition tables all lie there, also
    // on layer 1 of a dual-layer image, whose copy holds only the volume's start.
    const ImageSource* image = nullptr;
    uint64_t volumeStart = 0;
    const ExtentMap* map = nullptr;
    const VolumeStructures* structures = nullptr;  // none when they could not be read
    // Why sectors cannot be added at the volume's end whatever its bytes say (the data track
    // of a raw image is followed by other tracks); nothing when nothing outside the volume
    // forbids it.
    std::optional<std::string> endFixed;
};

// Where `size` bytes replacing the file at `file` go: in its own extent when they fit there
// and nothing else uses it; else in the first gap of zeros that takes them when `intoGap`;
// else at the volume's end, unless something lies behind it. Refused with the reason, the
// bytes needed and the gaps that would take them.
Result<Placement> placeReplacement(const PlacementScene& scene, const RecordLocation& file,
                                   uint64_t size, bool intoGap);

// Where `size` bytes that have no sectors yet go: in the first gap of zeros that takes them
// when `intoGap`, else at the volume's end, unless something lies behind it. A refusal says
// the bytes are needed `beyond` what holds them now.
Result<Placement> placeNewData(const PlacementScene& scene, uint64_t size, bool intoGap,
                               const std::string& beyond);

// "in its own sectors", "at LBA 3120, the volume's end", "in the gap at LBA 400", "in free
// blocks of the UDF partition at LBA 700".
std::string placementText(const Placement& placement);

}  // namespace kestrel
