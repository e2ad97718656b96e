#include "image/UdfStructures.h"

#include <algorithm>
#include <set>
#include <utility>

#include "image/UdfTag.h"

namespace kestrel {
namespace {

constexpr uint64_t kAnchorSector = 256;

uint64_t blocksFor(uint64_t bytes) {
    return (bytes + kUdfBlockSize - 1) / kUdfBlockSize;
}

class StructureList {
public:
    explicit StructureList(const UdfAddressing& addressing) : addressing_(addressing) {}

    void add(uint32_t lba, uint64_t sectors, const std::string& what, bool directory = false) {
        if (sectors > 0 && listed_.insert({lba, sectors}).second) {
            structures_.push_back({lba, sectors, what, directory});
        }
    }

    void add(const UdfVolumeExtent& extent, const std::string& what) {
        add(extent.sector, blocksFor(extent.length), what);
    }

    // An extent of a metadata partition may lie in several runs of the image.
    void add(const UdfExtent& extent, const std::string& what, bool directory = false) {
        for (const auto& run : udfExtentRuns(addressing_, extent)) {
            add(run.sector, run.blocks, what, directory);
        }
    }

    // The entry, where its descriptors continue, and a directory's identifiers when they do
    // not lie in the entry itself.
    void addFile(const UdfFileEntry& file, const std::string& name, bool directory) {
        add(file.sector, 1, "the UDF file entry of " + name);
        for (const uint32_t sector : file.continuationSectors) {
            add(sector, 1, "the UDF allocation descriptors of " + name);
        }
        if (directory) {
            for (const auto& extent : file.extents) {
                add(extent, "the UDF directory " + name, true);
            }
        }
    }

    std::vector<UdfStructure> take() { return std::move(structures_); }

private:
    const UdfAddressing& addressing_;
    // By start and length: an entry that several identifiers name is one structure, while the
    // metadata file that starts where the file set does is another.
    std::set<std::pair<uint32_t, uint64_t>> listed_;
    std::vector<UdfStructure> structures_;
};

// The metadata file, its mirror and its bitmap: each entry, and the data it holds: the file
// set, the file entries and the directories lie in the metadata file, and the mirror copies it.
void addMetadataFiles(const ImageSource& image, const UdfVolume& volume, StructureList& list) {
    const auto& map = volume.descriptors.maps[volume.metadata->map];
    const auto physical = volume.addressing.physicalMapOf(volume.metadata->map);
    if (!physical) {
        return;
    }
    std::vector<std::pair<uint32_t, std::string>> files{
        {map.metadataFile, "metadata file"}, {map.metadataMirror, "metadata mirror file"}};
    if (map.metadataBitmap) {
        files.emplace_back(*map.metadataBitmap, "metadata bitmap file");
    }
    for (const auto& [block, name] : files) {
        auto file = readUdfFileEntry(image, volume.addressing, {0, block, *physical});
        if (file) {
            list.add(file->sector, 1, "the UDF file entry of the " + name);
            for (const auto& extent : file->extents) {
                list.add(extent, "the UDF " + name);
            }
        }
    }
}

}  // namespace

std::vector<UdfStructure> udfAnchors(const ImageSource& image) {
    const auto size = image.size();
    const uint64_t sectors = size ? *size / kUdfBlockSize : 0;
    std::vector<UdfStructure> anchors;
    std::set<uint64_t> looked;
    for (const uint64_t sector : {kAnchorSector, sectors - kAnchorSector, sectors - 1}) {
        if (sector < kAnchorSector || sector >= sectors || !looked.insert(sector).second) {
            continue;
        }
        const auto bytes = readUdfBlocks(image, sector);
        const auto id = bytes ? checkUdfTag(*bytes, static_cast<uint32_t>(sector))
                              : Result<UdfTagId>(bytes.error());
        if (id && *id == UdfTagId::AnchorPointer) {
            anchors.push_back(
                {static_cast<uint32_t>(sector), 1, "a UDF anchor volume descriptor pointer"});
        }
    }
    return anchors;
}

std::vector<UdfStructure> udfStructures(const ImageSource& image, const UdfFileSystem& udf) {
    const UdfVolume& volume = udf.volume;
    const auto& descriptors = volume.descriptors;
    StructureList list(volume.addressing);
    for (const auto& anchor : udfAnchors(image)) {
        list.add(anchor.lba, anchor.sectors, anchor.what);
    }
    list.add(descriptors.mainSequence, "the UDF main volume descriptor sequence");
    list.add(descriptors.reserveSequence, "the UDF reserve volume descriptor sequence");
    list.add(descriptors.integritySequence, "the UDF logical volume integrity sequence");
    for (const auto& partition : descriptors.partitions) {
        if (partition.spaceBitmap) {
            list.add(*partition.spaceBitmap,
                     "the UDF space bitmap of partition " + std::to_string(partition.number));
        }
    }
    if (volume.metadata) {
        addMetadataFiles(image, volume, list);
    }
    const UdfExtent fileSet{UdfExtentType::Recorded,
                            std::max(descriptors.fileSet.length, kUdfBlockSize),
                            0,
                            descriptors.fileSet.block,
                            descriptors.fileSet.partition,
                            0};
    list.add(fileSet, "the UDF file set descriptor");
    const auto& tree = udf.tree;
    if (!tree.directories.empty()) {
        list.addFile(tree.directories.front().file, "/", true);
    }
    // An entry that several identifiers name is named by the first path the walk reached.
    for (size_t d = 0; d < tree.directories.size(); ++d) {
        const std::string path = tree.path(d);
        const std::string prefix = path == "/" ? "/" : path + "/";
        for (const auto& entry : tree.directories[d].entries) {
            list.addFile(entry.file, prefix + entry.name, entry.directory);
        }
    }
    return list.take();
}

}  // namespace kestrel
