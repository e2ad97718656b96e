#include "image/UdfAddressing.h"

#include <algorithm>
#include <string>

namespace kestrel {
namespace {

Error corrupt(const std::string& message) {
    return Error{ErrorKind::CorruptImage, message};
}

}  // namespace

UdfAddressing::UdfAddressing(const UdfVolumeDescriptors& descriptors, uint64_t imageSectors)
    : maps_(descriptors.maps),
      partitions_(descriptors.partitions),
      metadataRuns_(descriptors.maps.size()),
      metadataFirsts_(descriptors.maps.size()),
      imageSectors_(imageSectors) {}

void UdfAddressing::setMetadataRuns(size_t map, std::vector<Run> runs) {
    auto& firsts = metadataFirsts_.at(map);
    firsts.clear();
    uint64_t first = 0;
    for (const auto& run : runs) {
        firsts.push_back(first);
        first += run.blocks;
    }
    firsts.push_back(first);
    metadataRuns_[map] = std::move(runs);
}

Result<uint16_t> UdfAddressing::physicalMapOf(size_t metadataMap) const {
    for (size_t i = 0; i < maps_.size(); ++i) {
        if (maps_[i].kind == UdfMapKind::Physical &&
            maps_[i].partition == maps_.at(metadataMap).partition) {
            return static_cast<uint16_t>(i);
        }
    }
    return corrupt("the metadata partition's partition has no map of its own");
}

Result<UdfAddressing::Located> UdfAddressing::locatePhysical(size_t partition,
                                                             uint32_t block) const {
    const auto& p = partitions_[partition];
    if (block >= p.sectors) {
        return corrupt("block " + std::to_string(block) + " lies past the end of partition " +
                       std::to_string(p.number) + " (" + std::to_string(p.sectors) + " blocks)");
    }
    const uint64_t sector = uint64_t{p.startSector} + block;
    if (sector >= imageSectors_) {
        return corrupt("block " + std::to_string(block) + " of partition " +
                       std::to_string(p.number) + " lies past the image's end");
    }
    return Located{static_cast<uint32_t>(sector), static_cast<uint32_t>(std::min<uint64_t>(
                                                      p.sectors - block, imageSectors_ - sector))};
}

Result<UdfAddressing::Located> UdfAddressing::locate(uint16_t map, uint32_t block) const {
    if (map >= maps_.size()) {
        return corrupt("partition reference " + std::to_string(map) + " names no partition map");
    }
    if (maps_[map].kind == UdfMapKind::Physical) {
        return locatePhysical(maps_[map].partition, block);
    }
    const auto& firsts = metadataFirsts_[map];
    const auto after = std::upper_bound(firsts.begin(), firsts.end(), uint64_t{block});
    if (after == firsts.begin() || after == firsts.end()) {
        return corrupt("block " + std::to_string(block) +
                       " lies past the end of the metadata partition (" +
                       std::to_string(firsts.empty() ? 0 : firsts.back()) + " blocks)");
    }
    const auto index = static_cast<size_t>(after - firsts.begin() - 1);
    const auto& run = metadataRuns_[map][index];
    const auto offset = static_cast<uint32_t>(block - firsts[index]);
    auto located = locatePhysical(maps_[map].partition, run.block + offset);
    if (located) {
        located->blocks = std::min(located->blocks, run.blocks - offset);
    }
    return located;
}

Result<void> UdfAddressing::checkRange(uint16_t map, uint32_t block, uint64_t blocks) const {
    uint64_t checked = 0;
    while (checked < blocks) {
        if (block + checked > UINT32_MAX) {
            return corrupt("an extent reaches past the largest block number");
        }
        auto located = locate(map, static_cast<uint32_t>(block + checked));
        if (!located) {
            return located.error();
        }
        checked += located->blocks;
    }
    return {};
}

}  // namespace kestrel
