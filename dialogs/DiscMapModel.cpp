#include "dialogs/DiscMapModel.h"

#include <algorithm>

namespace kestrel {

namespace {

static_assert(static_cast<int>(MapKind::Gap) == static_cast<int>(ExtentKind::Gap),
              "MapKind begins with ExtentKind's kinds, in their order");

MapSegment segmentOf(const MappedExtent& extent) {
    return {static_cast<MapKind>(extent.kind), extent.lba, extent.sectors, &extent};
}

}  // namespace

DiscMapModel::DiscMapModel(ExtentMap map, uint64_t imageSectors)
    : map_(std::move(map)), imageSectors_(imageSectors) {
    sectors_ = std::max<uint64_t>(map_.volumeSectors, imageSectors_);
    reach_.reserve(map_.extents.size());
    uint64_t furthest = 0;
    for (const auto& extent : map_.extents) {
        furthest = std::max(furthest, extent.lba + extent.sectors);
        reach_.push_back(furthest);
    }
}

// The first extent reaching past `lba` holds it when it starts at or before it: every extent
// before it ends at or before `lba`, and every one after starts no earlier than it does.
MapSegment DiscMapModel::segmentAt(uint64_t lba) const {
    const auto reaching = std::ranges::upper_bound(reach_, lba);
    const auto index = static_cast<size_t>(reaching - reach_.begin());
    if (index < map_.extents.size() && map_.extents[index].lba <= lba) {
        return segmentOf(map_.extents[index]);
    }
    const uint64_t start = index == 0 ? 0 : reach_[index - 1];
    const uint64_t end = index < map_.extents.size()
                             ? std::min<uint64_t>(map_.extents[index].lba, sectors_)
                             : sectors_;
    return {MapKind::PastVolume, start, end - start, nullptr};
}

FreeSpace DiscMapModel::freeSpace() const {
    FreeSpace free;
    for (const auto& extent : map_.extents) {
        if (extent.kind == ExtentKind::Gap) {
            free.gapSectors += extent.sectors;
            ++free.gaps;
            if (extent.sectors > free.largestGap.sectors) {
                free.largestGap = segmentOf(extent);
            }
        }
    }
    free.pastVolumeStart = sectors_;
    for (uint64_t lba = map_.volumeSectors; lba < sectors_;) {
        const MapSegment segment = segmentAt(lba);
        if (segment.kind == MapKind::PastVolume) {
            free.pastVolumeSectors += segment.sectors;
            free.pastVolumeStart = std::min(free.pastVolumeStart, segment.lba);
        }
        lba = segment.end();
    }
    return free;
}

std::vector<MapSegment> DiscMapModel::extentsOwnedBy(const std::set<std::string>& paths) const {
    std::vector<MapSegment> owned;
    if (paths.empty()) {
        return owned;
    }
    for (const auto& extent : map_.extents) {
        const bool selected = std::ranges::any_of(extent.owners, [&](const ExtentOwner& owner) {
            return !owner.joliet && paths.contains(owner.path);
        });
        if (selected && extent.sectors > 0) {
            owned.push_back(segmentOf(extent));
        }
    }
    return owned;
}

}  // namespace kestrel
