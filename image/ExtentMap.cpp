#include "image/ExtentMap.h"

#include <algorithm>
#include <array>
#include <map>
#include <string_view>
#include <tuple>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"
#include "image/LongNames.h"
#include "image/VolumePaths.h"

namespace kestrel {

namespace {

constexpr uint32_t kSystemAreaSectors = 16;
// A primary or supplementary descriptor's other path-table locations.
constexpr size_t kOptionalTypeLTableAt = 144;
constexpr size_t kTypeMTableAt = 148;
constexpr size_t kOptionalTypeMTableAt = 152;

uint64_t sectorsFor(uint64_t bytes) {
    return (bytes + kSectorSize - 1) / kSectorSize;
}

bool isDescriptorSector(std::span<const uint8_t> sector) {
    static constexpr std::array<std::string_view, 7> kIdentifiers{
        "CD001", "BEA01", "NSR02", "NSR03", "TEA01", "BOOT2", "CDW02"};
    const std::string_view identifier(reinterpret_cast<const char*>(sector.data()) + 1, 5);
    return std::ranges::find(kIdentifiers, identifier) != kIdentifiers.end();
}

void addPathTables(std::span<const uint8_t> sector, std::vector<MappedExtent>& extents) {
    const bool joliet = sector[0] == kSupplementaryType;
    const uint64_t sectors = sectorsFor(readLe32(sector, kPathTableSizeAt));
    const std::string tree = joliet ? "Joliet " : "";
    for (const auto& [at, bigEndian, name] :
         {std::tuple{kTypeLTableAt, false, "type L path table"},
          std::tuple{kOptionalTypeLTableAt, false, "optional type L path table"},
          std::tuple{kTypeMTableAt, true, "type M path table"},
          std::tuple{kOptionalTypeMTableAt, true, "optional type M path table"}}) {
        const uint32_t lba = bigEndian ? readBe32(sector, at) : readLe32(sector, at);
        if (lba != 0) {
            extents.push_back({lba, sectors, ExtentKind::PathTable, tree + name, {}, false});
        }
    }
}

// The system area, and the descriptors from sector 16 to the last one in a row.
Result<void> addDescriptors(const ImageSource& image, std::vector<MappedExtent>& extents) {
    extents.push_back({0, kSystemAreaSectors, ExtentKind::SystemArea, "system area", {}, false});
    std::array<uint8_t, kSectorSize> sector{};
    uint32_t count = 0;
    while (count < kMostDescriptorSectors) {
        auto read = image.readAt(kDescriptorsOffset + count * kSectorSize, sector);
        if (!read) {
            return read.error();
        }
        if (*read < sector.size() || !isDescriptorSector(sector)) {
            break;
        }
        if (sector[0] == kPrimaryType || sector[0] == kSupplementaryType) {
            addPathTables(sector, extents);
        }
        ++count;
    }
    if (count > 0) {
        extents.push_back(
            {kSystemAreaSectors, count, ExtentKind::Descriptors, "volume descriptors", {}, false});
    }
    return {};
}

// A directory's path in its tree, each Joliet identifier read as UTF-8.
std::string treePath(const std::vector<PathTableDirectory>& directories, DirectoryNumber number,
                     bool joliet) {
    if (!joliet) {
        return directoryPath(directories, number);
    }
    std::string path;
    while (number > 1 && number <= directories.size()) {
        const auto& entry = directories[number - 1];
        path = "/" + jolietName(entry.identifier) + path;
        number = entry.parent < number ? entry.parent : 1;
    }
    return path.empty() ? "/" : path;
}

// Each directory of a tree and the files its records point at.
Result<void> addTree(const ImageSource& image, const std::vector<PathTableDirectory>& directories,
                     ListingStart start, bool joliet, std::vector<MappedExtent>& extents) {
    for (const auto& directory : directories) {
        const std::string path = treePath(directories, directory.number, joliet);
        const uint64_t offset = uint64_t{directory.extentLba} << kSectorShift;
        std::array<uint8_t, record::kMaximumLength> dot{};
        auto read = image.readAt(offset, dot);
        const auto dotRecord = read ? parseDirectoryRecord(std::span(dot).first(*read))
                                    : std::optional<DirectoryRecord>();
        extents.push_back({directory.extentLba,
                           sectorsFor(dotRecord ? dotRecord->dataLength : kSectorSize),
                           ExtentKind::Directory,
                           (joliet ? "Joliet directory " : "directory ") + path,
                           {},
                           false});
        const std::string prefix = path == "/" ? "" : path;
        auto walked = walkDirectory(image, offset, start, [&](const WalkedRecord& walked) {
            const DirectoryRecord& record = walked.record;
            if (!record.isDirectory()) {
                const std::string name = joliet ? jolietName(record.identifier) : record.name();
                ExtentOwner owner{prefix + "/" + name,
                                  joliet ? "" : rockRidgeName(record, image).value_or(""),
                                  record.dataLength, joliet};
                extents.push_back({record.extentLba,
                                   sectorsFor(record.dataLength),
                                   ExtentKind::File,
                                   {},
                                   {std::move(owner)},
                                   false});
            }
            return WalkStep::Continue;
        });
        if (!walked) {
            return walked.error();
        }
    }
    return {};
}

// One extent per LBA and length for the files that share it, and overlaps marked.
std::vector<MappedExtent> mergeFiles(std::vector<MappedExtent> extents) {
    std::ranges::stable_sort(extents, [](const MappedExtent& a, const MappedExtent& b) {
        return std::tuple(a.lba, a.kind, a.sectors) < std::tuple(b.lba, b.kind, b.sectors);
    });
    std::vector<MappedExtent> merged;
    for (auto& extent : extents) {
        auto& last = merged.empty() ? extent : merged.back();
        if (extent.kind == ExtentKind::File && !merged.empty() && last.kind == ExtentKind::File &&
            last.lba == extent.lba && last.sectors == extent.sectors) {
            last.owners.push_back(std::move(extent.owners.front()));
        } else {
            merged.push_back(std::move(extent));
        }
    }
    // Sorted by LBA, a file overlaps an earlier one when it starts before the furthest end so
    // far, and a later one when the next file starts before its own end.
    std::vector<MappedExtent*> files;
    for (auto& extent : merged) {
        if (extent.kind == ExtentKind::File && extent.sectors > 0) {
            files.push_back(&extent);
        }
    }
    uint64_t furthestEnd = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        const uint64_t end = files[i]->lba + files[i]->sectors;
        const bool overlapsNext = i + 1 < files.size() && files[i + 1]->lba < end;
        files[i]->shared = files[i]->lba < furthestEnd || overlapsNext;
        furthestEnd = std::max(furthestEnd, end);
    }
    // So is one that several records of the same tree point at.
    for (auto* file : files) {
        const auto joliet = std::ranges::count_if(
            file->owners, [](const ExtentOwner& owner) { return owner.joliet; });
        const auto primary = static_cast<long>(file->owners.size()) - joliet;
        file->shared = file->shared || primary > 1 || joliet > 1;
    }
    return merged;
}

void addGaps(ExtentMap& map) {
    std::vector<MappedExtent> withGaps;
    uint64_t covered = 0;
    for (auto& extent : map.extents) {
        if (extent.sectors > 0 && extent.lba > covered) {
            withGaps.push_back({static_cast<uint32_t>(covered),
                                extent.lba - covered,
                                ExtentKind::Gap,
                                {},
                                {},
                                false});
        }
        covered = std::max(covered, extent.lba + extent.sectors);
        withGaps.push_back(std::move(extent));
    }
    if (covered < map.volumeSectors) {
        withGaps.push_back({static_cast<uint32_t>(covered),
                            map.volumeSectors - covered,
                            ExtentKind::Gap,
                            {},
                            {},
                            false});
    }
    map.extents = std::move(withGaps);
}

}  // namespace

Result<ExtentMap> mapVolume(const ImageSource& image, const Volume& volume) {
    std::vector<MappedExtent> extents;
    if (auto added = addDescriptors(image, extents); !added) {
        return added.error();
    }
    if (auto added = addTree(image, volume.directories, volume.listingStart, false, extents);
        !added) {
        return added.error();
    }
    if (volume.joliet) {
        auto jolietDirectories = readDescriptorTree(image, *volume.joliet);
        if (!jolietDirectories) {
            return jolietDirectories.error();
        }
        auto added =
            addTree(image, *jolietDirectories, ListingStart::BehindDotRecords, true, extents);
        if (!added) {
            return added.error();
        }
    }
    ExtentMap map{volume.volumeSectors, mergeFiles(std::move(extents))};
    addGaps(map);
    return map;
}

std::vector<MappedExtent> extentsHolding(const ExtentMap& map, uint32_t lba) {
    std::vector<MappedExtent> holding;
    for (const auto& extent : map.extents) {
        if (lba >= extent.lba && lba - uint64_t{extent.lba} < extent.sectors) {
            holding.push_back(extent);
        }
    }
    return holding;
}

const char* extentKindName(ExtentKind kind) {
    switch (kind) {
        case ExtentKind::SystemArea:
            return "system-area";
        case ExtentKind::Descriptors:
            return "descriptors";
        case ExtentKind::PathTable:
            return "path-table";
        case ExtentKind::Directory:
            return "directory";
        case ExtentKind::File:
            return "file";
        case ExtentKind::Gap:
            return "gap";
    }
    return "gap";
}

}  // namespace kestrel
