// The disc as the Disc Map draws it: the volume's extents as image/ExtentMap.h maps them, in
// LBA order, and the sectors the image holds past the volume's end. The segment holding any
// sector is found by a binary search, so that drawing part of the strip costs what that part
// shows, whatever the number of files.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "image/ExtentMap.h"

namespace kestrel {

// ExtentKind's kinds, then the sectors past the volume that the image still holds.
enum class MapKind { SystemArea, Descriptors, PathTable, Directory, Boot, File, Gap, PastVolume };
inline constexpr int kMapKinds = 8;

struct MapSegment {
    MapKind kind = MapKind::PastVolume;
    uint64_t lba = 0;
    uint64_t sectors = 0;
    // The map's extent drawn here; none past the volume.
    const MappedExtent* extent = nullptr;

    uint64_t end() const { return lba + sectors; }
};

// Where the volume has room: its gaps, and the image's sectors past its end.
struct FreeSpace {
    uint64_t gapSectors = 0;
    uint64_t gaps = 0;
    MapSegment largestGap;
    uint64_t pastVolumeSectors = 0;
    uint64_t pastVolumeStart = 0;
};

class DiscMapModel {
public:
    // `imageSectors`: the sectors the image holds from the volume's LBA 0.
    DiscMapModel(ExtentMap map, uint64_t imageSectors);

    const ExtentMap& map() const { return map_; }
    // The sectors the strip spans: the volume's, or the image's where it holds more.
    uint64_t sectors() const { return sectors_; }
    // The segment holding `lba`, which must be below sectors(): of two overlapping extents,
    // the one listed first. Past the volume, the run of sectors no extent holds.
    MapSegment segmentAt(uint64_t lba) const;
    FreeSpace freeSpace() const;
    // The file extents that records of the primary tree at `paths` ("/DATA/A.BIN") point at.
    std::vector<MapSegment> extentsOwnedBy(const std::set<std::string>& paths) const;

private:
    ExtentMap map_;
    uint64_t imageSectors_ = 0;
    uint64_t sectors_ = 0;
    // reach_[i]: the furthest end of extents 0 to i; rising with i, so searchable.
    std::vector<uint64_t> reach_;
};

}  // namespace kestrel
