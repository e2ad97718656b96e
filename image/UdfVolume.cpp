#include "image/UdfVolume.h"

#include "image/ByteOrder.h"
#include "image/UdfNames.h"
#include "image/UdfTag.h"

namespace kestrel {
namespace {

// The file set descriptor, ECMA-167 4/14.1.
constexpr size_t kFileSetIdentifierAt = 304;
constexpr size_t kFileSetIdentifierSize = 32;
constexpr size_t kRootIcbAt = 400;
constexpr size_t kFileSetDomainSuffixAt = 416 + 24;

// A metadata file of more extents than this is not one a recorder wrote; the bound keeps
// each block's lookup short.
constexpr size_t kMaxMetadataRuns = 4096;

Error corruptIn(const ImageSource& image, const std::string& message) {
    return Error{ErrorKind::CorruptImage, image.path() + ": " + message};
}

Result<std::vector<UdfAddressing::Run>> metadataRuns(const UdfFileEntry& file, uint16_t physical) {
    if (file.allocation == UdfAllocation::Embedded || file.cutShort) {
        return Error{ErrorKind::CorruptImage, "its extents cannot all be read"};
    }
    if (file.extents.size() > kMaxMetadataRuns) {
        return Error{ErrorKind::CorruptImage,
                     "it has more than " + std::to_string(kMaxMetadataRuns) + " extents"};
    }
    std::vector<UdfAddressing::Run> runs;
    for (const auto& extent : file.extents) {
        if (extent.partition != physical || extent.type == UdfExtentType::NotAllocated) {
            return Error{ErrorKind::CorruptImage,
                         "an extent lies outside its partition or is not allocated"};
        }
        runs.push_back({extent.block, (extent.length + kUdfBlockSize - 1) / kUdfBlockSize});
    }
    return runs;
}

Result<void> readMetadataPartition(const ImageSource& image, UdfVolume& volume, size_t map) {
    const auto& partitionMap = volume.descriptors.maps[map];
    auto physical = volume.addressing.physicalMapOf(map);
    if (!physical) {
        return corruptIn(image, physical.error().message);
    }
    UdfMetadataFiles files;
    files.map = map;
    auto sectorOf = [&](uint32_t block) -> uint32_t {
        auto located = volume.addressing.locate(*physical, block);
        return located ? located->sector : 0;
    };
    files.fileSector = sectorOf(partitionMap.metadataFile);
    files.mirrorSector = sectorOf(partitionMap.metadataMirror);
    if (partitionMap.metadataBitmap) {
        files.bitmapSector = sectorOf(*partitionMap.metadataBitmap);
    }
    std::string reasons;
    for (const uint32_t block : {partitionMap.metadataFile, partitionMap.metadataMirror}) {
        auto file = readUdfFileEntry(image, volume.addressing, {0, block, *physical});
        auto runs = file ? metadataRuns(*file, *physical)
                         : Result<std::vector<UdfAddressing::Run>>(file.error());
        if (runs && reasons.empty()) {
            auto mirror = readUdfFileEntry(image, volume.addressing,
                                           {0, partitionMap.metadataMirror, *physical});
            auto mirrorRuns = mirror ? metadataRuns(*mirror, *physical)
                                     : Result<std::vector<UdfAddressing::Run>>(mirror.error());
            if (mirrorRuns && *mirrorRuns != *runs) {
                files.mirrorRuns = std::move(*mirrorRuns);
            }
        }
        if (runs) {
            volume.addressing.setMetadataRuns(map, std::move(*runs));
            if (!reasons.empty()) {
                files.mirrorRead = true;
                volume.notes.push_back("The metadata file is damaged (" + reasons +
                                       "); its mirror was read.");
            }
            volume.metadata = files;
            return {};
        }
        reasons += (reasons.empty() ? "" : "; ") + runs.error().message;
    }
    return corruptIn(image,
                     "neither the metadata file nor its mirror can be read (" + reasons + ")");
}

Result<void> readFileSet(const ImageSource& image, UdfVolume& volume) {
    const auto& fileSet = volume.descriptors.fileSet;
    auto located = volume.addressing.locate(fileSet.partition, fileSet.block);
    if (!located) {
        return corruptIn(image,
                         "the file set descriptor cannot be found: " + located.error().message);
    }
    auto bytes = readUdfBlocks(image, located->sector);
    if (!bytes) {
        return bytes.error();
    }
    auto id = checkUdfTag(*bytes, fileSet.block);
    if (id && *id != UdfTagId::FileSet) {
        id = Error{ErrorKind::CorruptImage, "it is no file set descriptor"};
    }
    if (!id) {
        return corruptIn(image, "the file set descriptor at sector " +
                                    std::to_string(located->sector) +
                                    " is damaged: " + id.error().message);
    }
    const std::span<const uint8_t> view(*bytes);
    volume.fileSetSector = located->sector;
    volume.fileSetIdentifier =
        udfDstring(view.subspan(kFileSetIdentifierAt, kFileSetIdentifierSize));
    if (volume.revision == 0) {
        volume.revision = readLe16(view, kFileSetDomainSuffixAt);
    }
    const UdfLongAd rootIcb{readLe32(view, kRootIcbAt), readLe32(view, kRootIcbAt + 4),
                            readLe16(view, kRootIcbAt + 8)};
    auto root = readUdfFileEntry(image, volume.addressing, rootIcb);
    if (!root) {
        return corruptIn(image, "the root directory cannot be read: " + root.error().message);
    }
    if (root->fileType != kUdfDirectoryType) {
        return corruptIn(image, "the root directory's entry at sector " +
                                    std::to_string(root->sector) + " is not a directory's");
    }
    volume.root = std::move(*root);
    return {};
}

}  // namespace

std::string UdfVolume::revisionText() const {
    return udfRevisionText(revision);
}

Result<UdfVolume> readUdfVolume(const ImageSource& image) {
    UdfVolume volume;
    auto descriptors = readUdfDescriptors(image, volume.notes);
    if (!descriptors) {
        return descriptors.error();
    }
    auto size = image.size();
    if (!size) {
        return size.error();
    }
    volume.descriptors = std::move(*descriptors);
    volume.revision = volume.descriptors.revision;
    volume.volumeIdentifier = volume.descriptors.volumeIdentifier;
    volume.logicalVolumeIdentifier = volume.descriptors.logicalVolumeIdentifier;
    volume.addressing = UdfAddressing(volume.descriptors, *size / kUdfBlockSize);
    for (const auto& partition : volume.descriptors.partitions) {
        const uint64_t end = uint64_t{partition.startSector} + partition.sectors;
        if (end > *size / kUdfBlockSize) {
            volume.notes.push_back(
                "Partition " + std::to_string(partition.number) + " ends at sector " +
                std::to_string(end) + ", past the image's end at sector " +
                std::to_string(*size / kUdfBlockSize) + "; what lies beyond is not read.");
        }
    }
    for (size_t map = 0; map < volume.descriptors.maps.size(); ++map) {
        if (volume.descriptors.maps[map].kind == UdfMapKind::Metadata) {
            if (auto read = readMetadataPartition(image, volume, map); !read) {
                return read.error();
            }
        }
    }
    if (auto read = readFileSet(image, volume); !read) {
        return read.error();
    }
    volume.integritySector =
        findUdfIntegrityDescriptor(image, volume.descriptors.integritySequence, volume.notes);
    return volume;
}

std::optional<uint32_t> UdfEntry::lba() const {
    for (const auto& extent : file.extents) {
        if (extent.type != UdfExtentType::NotAllocated) {
            return extent.firstSector;
        }
    }
    return std::nullopt;
}

std::string UdfTree::path(size_t directory) const {
    std::string path;
    for (std::optional<size_t> at = directory; at && *at != 0; at = directories[*at].parent) {
        path = "/" + directories[*at].name + path;
    }
    return path.empty() ? "/" : path;
}

std::vector<UdfEntry> listUdfDirectory(const ImageSource& image, const UdfVolume& volume,
                                       const UdfFileEntry& directory, const std::string& path,
                                       std::vector<std::string>& notes, UdfWalkedSectors* walked) {
    auto identifiers = readUdfIdentifiers(image, volume.addressing, directory);
    if (!identifiers) {
        notes.push_back(path + " cannot be listed: " + identifiers.error().message + ".");
        return {};
    }
    if (walked) {
        for (const uint32_t sector : identifiers->sectors) {
            if (walked->directoryData.contains(sector)) {
                notes.push_back(path + " is not listed: its data shares sector " +
                                std::to_string(sector) + " with a directory listed before.");
                return {};
            }
        }
        walked->directoryData.insert(identifiers->sectors.begin(), identifiers->sectors.end());
    }
    if (identifiers->stopped) {
        notes.push_back(path + " is listed only in part: " + *identifiers->stopped + ".");
    }
    const std::string prefix = path == "/" ? "/" : path + "/";
    std::vector<UdfEntry> entries;
    for (auto& identifier : identifiers->identifiers) {
        if (identifier.characteristics & (kUdfDeleted | kUdfParent)) {
            continue;
        }
        auto file = readUdfFileEntry(image, volume.addressing, identifier.icb,
                                     walked ? &walked->continuations : nullptr);
        if (!file) {
            notes.push_back(prefix + identifier.name + " is left out: " + file.error().message +
                            ".");
            continue;
        }
        if (file->cutShort) {
            notes.push_back(prefix + identifier.name + " is listed with the extents read before " +
                            *file->cutShort + ".");
        }
        entries.push_back(
            {std::move(identifier.name), (identifier.characteristics & kUdfDirectory) != 0,
             (identifier.characteristics & kUdfHidden) != 0, std::move(*file), identifier.offset});
    }
    return entries;
}

UdfTree readUdfTree(const ImageSource& image, const UdfVolume& volume) {
    UdfTree tree;
    tree.directories.push_back({"", std::nullopt, volume.root.sector, volume.root, {}});
    std::vector<size_t> depths{0};
    std::set<uint32_t> walkedEntries{volume.root.sector};
    UdfWalkedSectors walkedSectors;
    bool full = false;
    for (size_t next = 0; next < tree.directories.size(); ++next) {
        const std::string path = tree.path(next);
        auto entries = listUdfDirectory(image, volume, tree.directories[next].file, path,
                                        tree.notes, &walkedSectors);
        const std::string prefix = path == "/" ? "/" : path + "/";
        for (const auto& entry : entries) {
            if (!entry.directory) {
                continue;
            }
            if (!walkedEntries.insert(entry.file.sector).second) {
                tree.notes.push_back(prefix + entry.name + " names the entry of a directory " +
                                     "already walked (sector " + std::to_string(entry.file.sector) +
                                     "); it is not walked again.");
            } else if (depths[next] + 1 > kUdfMaxDepth) {
                tree.notes.push_back(prefix + entry.name + " lies more than " +
                                     std::to_string(kUdfMaxDepth) +
                                     " levels down and is not walked.");
            } else if (tree.directories.size() == kUdfMaxDirectories) {
                if (!full) {
                    tree.notes.push_back("The walk stops at " + std::to_string(kUdfMaxDirectories) +
                                         " directories.");
                    full = true;
                }
            } else {
                tree.directories.push_back({entry.name, next, entry.file.sector, entry.file, {}});
                depths.push_back(depths[next] + 1);
            }
        }
        tree.directories[next].entries = std::move(entries);
    }
    return tree;
}

Result<UdfFileSystem> readUdfFileSystem(const ImageSource& image) {
    auto volume = readUdfVolume(image);
    if (!volume) {
        return volume.error();
    }
    UdfTree tree = readUdfTree(image, *volume);
    return UdfFileSystem{std::move(*volume), std::move(tree)};
}

std::optional<uint32_t> udfMirrorSector(const UdfVolume& volume, uint32_t block) {
    if (!volume.metadata || volume.metadata->mirrorRuns.empty()) {
        return std::nullopt;
    }
    const auto physical = volume.addressing.physicalMapOf(volume.metadata->map);
    uint64_t first = 0;
    for (const auto& run : volume.metadata->mirrorRuns) {
        if (physical && block < first + run.blocks) {
            const auto located = volume.addressing.locate(
                *physical, run.block + static_cast<uint32_t>(block - first));
            return located ? std::optional(located->sector) : std::nullopt;
        }
        first += run.blocks;
    }
    return std::nullopt;
}

}  // namespace kestrel
