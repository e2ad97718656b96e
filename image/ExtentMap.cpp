#include "image/ExtentMap.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <string_view>
#include <tuple>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"
#include "image/LongNames.h"
#include "image/NameText.h"
#include "image/VolumePaths.h"
#include "image/VolumeStructures.h"

namespace kestrel {

namespace {

uint64_t sectorsFor(uint64_t bytes) {
    return (bytes + kSectorSize - 1) / kSectorSize;
}

// "type L path table" for "the type L path table": a map's line names a thing, not a sentence.
std::string withoutArticle(const std::string& what) {
    for (const std::string_view article : {"the ", "an ", "a "}) {
        if (what.starts_with(article)) {
            return what.substr(article.size());
        }
    }
    return what;
}

ExtentKind extentKind(StructureKind kind) {
    switch (kind) {
        case StructureKind::SystemArea:
            return ExtentKind::SystemArea;
        case StructureKind::Descriptor:
        case StructureKind::UdfDescriptor:
            return ExtentKind::Descriptors;
        case StructureKind::PathTable:
            return ExtentKind::PathTable;
        case StructureKind::Directory:
        case StructureKind::UdfDirectory:
            return ExtentKind::Directory;
        case StructureKind::Boot:
            return ExtentKind::Boot;
    }
    return ExtentKind::Gap;
}

// The structures as the map shows them: the run of descriptors from sector 16 as one extent.
void addStructures(const VolumeStructures& structures, std::vector<MappedExtent>& extents) {
    uint32_t descriptorRun = 0;
    for (const auto& structure : structures.all()) {
        if (structure.kind == StructureKind::Descriptor &&
            structure.lba == kDescriptorsOffset / kSectorSize + descriptorRun) {
            ++descriptorRun;
            continue;
        }
        const bool udf = structure.kind == StructureKind::UdfDescriptor ||
                         structure.kind == StructureKind::UdfDirectory;
        extents.push_back({structure.lba,
                           structure.sectors,
                           extentKind(structure.kind),
                           withoutArticle(structures.whatIs(structure)),
                           {},
                           false,
                           udf});
    }
    if (descriptorRun > 0) {
        extents.push_back({kDescriptorsOffset / kSectorSize,
                           descriptorRun,
                           ExtentKind::Descriptors,
                           "volume descriptors",
                           {},
                           false});
    }
}

// The files each directory's records point at, each directory extent walked once: a repeat
// holds the records of the directory it repeats, mapped there.
Result<void> addFiles(const ImageSource& image, const std::vector<PathTableDirectory>& directories,
                      ListingStart start, bool joliet, std::vector<MappedExtent>& extents) {
    const auto paths = directoryPaths(directories, joliet);
    for (const auto& directory : directories) {
        if (directory.sameAs != 0) {
            continue;
        }
        const std::string& path = paths[directory.number];
        const std::string prefix = path == "/" ? "" : path;
        const DirectoryPlace place = placeOf(directory);
        auto walked = walkDirectory(image, place, start, [&](const WalkedRecord& walked) {
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

// Each extent of every file the UDF tree lists, as the file's.
void addUdfFiles(const UdfFileSystem& udf, std::vector<MappedExtent>& extents) {
    const auto& tree = udf.tree;
    for (size_t d = 0; d < tree.directories.size(); ++d) {
        const std::string path = tree.path(d);
        const std::string prefix = path == "/" ? "/" : path + "/";
        for (const auto& entry : tree.directories[d].entries) {
            if (entry.directory) {
                continue;
            }
            const ExtentOwner owner{
                prefix + entry.name, "",
                static_cast<uint32_t>(std::min<uint64_t>(entry.file.informationLength, UINT32_MAX)),
                false, true};
            for (const auto& extent : entry.file.extents) {
                for (const auto& run : udfExtentRuns(udf.volume.addressing, extent)) {
                    extents.push_back(
                        {run.sector, run.blocks, ExtentKind::File, {}, {owner}, false});
                }
            }
        }
    }
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

std::string ownerText(const ExtentOwner& owner) {
    // Primary paths are the image's bytes; Joliet and UDF paths are UTF-8 already.
    std::string text = owner.joliet ? "Joliet " + shownText(owner.path)
                       : owner.udf  ? shownText(owner.path)
                                    : shownName(owner.path);
    if (!owner.longName.empty()) {
        text += " (" + shownText(owner.longName) + ")";
    }
    return text;
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
    std::optional<UdfFileSystem> udf;
    if (volume.features.udf) {
        if (auto read = readUdfFileSystem(image)) {
            udf = std::move(*read);
        }
    }
    const auto structures = VolumeStructures::read(image, volume, udf ? &*udf : nullptr);
    if (!structures) {
        return structures.error();
    }
    std::vector<MappedExtent> extents;
    addStructures(*structures, extents);
    if (volume.udfOnly) {
        if (udf) {
            addUdfFiles(*udf, extents);
        }
    } else if (auto added =
                   addFiles(image, volume.directories, volume.listingStart, false, extents);
               !added) {
        return added.error();
    }
    if (volume.joliet) {
        auto jolietDirectories = readDescriptorTree(image, *volume.joliet);
        if (!jolietDirectories) {
            return jolietDirectories.error();
        }
        auto added =
            addFiles(image, *jolietDirectories, ListingStart::BehindDotRecords, true, extents);
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
        case ExtentKind::Boot:
            return "boot";
        case ExtentKind::File:
            return "file";
        case ExtentKind::Gap:
            return "gap";
    }
    return "gap";
}

std::string extentText(const MappedExtent& extent) {
    if (extent.kind != ExtentKind::File) {
        return extent.kind == ExtentKind::Gap ? "gap"
               : extent.udf                   ? shownText(extent.what)
                                              : shownName(extent.what);
    }
    std::string text;
    for (const auto& owner : extent.owners) {
        text += (text.empty() ? "" : ", ") + ownerText(owner);
    }
    return extent.shared ? text + " [shared]" : text;
}

std::vector<std::string> whoisLines(const ExtentMap& map, uint32_t lba) {
    const std::string number = std::to_string(lba);
    std::vector<std::string> lines;
    for (const auto& extent : extentsHolding(map, lba)) {
        lines.push_back(number + '\t' + extentKindName(extent.kind) + '\t' + extentText(extent));
    }
    if (lines.empty()) {
        lines.push_back(number + "\tbeyond\tbeyond the volume and every extent");
    }
    return lines;
}

}  // namespace kestrel
