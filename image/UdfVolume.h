// Reading a UDF volume (ECMA-167 with OSTA UDF 1.02 to 2.60): its descriptors, partitions,
// metadata partition files, file set and root, and the walk of its directories. A damaged
// descriptor inside the tree ends that part of the walk with what was read, and the notes
// say where and why.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "image/UdfAddressing.h"
#include "image/UdfDescriptors.h"
#include "image/UdfFiles.h"
#include "io/ImageSource.h"
#include "io/Result.h"

namespace kestrel {

// The metadata partition's files (OSTA UDF 2.2.13), as absolute sectors of their entries.
struct UdfMetadataFiles {
    size_t map = 0;
    uint32_t fileSector = 0;
    uint32_t mirrorSector = 0;
    std::optional<uint32_t> bitmapSector;
    bool mirrorRead = false;  // the main file's entry was damaged
    // The mirror's blocks where it keeps a copy apart from the metadata file that was read,
    // which an edit of an entry or identifier then writes too; empty otherwise.
    std::vector<UdfAddressing::Run> mirrorRuns;
};

struct UdfVolume {
    uint16_t revision = 0;  // 0x0250 for UDF 2.50
    std::string volumeIdentifier;
    std::string logicalVolumeIdentifier;
    std::string fileSetIdentifier;
    UdfVolumeDescriptors descriptors;  // the partitions and maps among them
    std::optional<uint32_t> integritySector;
    std::optional<UdfMetadataFiles> metadata;
    uint32_t fileSetSector = 0;
    UdfFileEntry root;
    UdfAddressing addressing;
    std::vector<std::string> notes;

    std::string revisionText() const;  // "UDF 2.50"
};

Result<UdfVolume> readUdfVolume(const ImageSource& image);

// The sector of the metadata mirror's copy of block `block` of the metadata partition, where
// the mirror keeps a copy apart; nothing otherwise.
std::optional<uint32_t> udfMirrorSector(const UdfVolume& volume, uint32_t block);

struct UdfEntry {
    std::string name;  // UTF-8
    bool directory = false;
    bool hidden = false;
    UdfFileEntry file;
    uint64_t identifierOffset = 0;  // its file identifier descriptor, in the image

    // The absolute sector of the file's first allocated extent; none for data embedded in
    // its entry or a file with no allocated extent.
    std::optional<uint32_t> lba() const;
};

struct UdfDirectory {
    std::string name;  // empty for the root
    std::optional<size_t> parent;
    uint32_t icbSector = 0;
    UdfFileEntry file;
    std::vector<UdfEntry> entries;  // in identifier order, without deleted and parent ones
};

struct UdfTree {
    // directories[0] is the root; every parent comes before its children.
    std::vector<UdfDirectory> directories;
    std::vector<std::string> notes;

    std::string path(size_t directory) const;  // "/DOCS/DEEP", "/" for the root
};

inline constexpr size_t kUdfMaxDepth = 64;
inline constexpr size_t kUdfMaxDirectories = 65535;

// What a walk has read, so that it reads each sector of directory data and of allocation
// descriptor continuations once.
struct UdfWalkedSectors {
    std::set<uint32_t> directoryData;
    std::set<uint32_t> continuations;
};

// The entries of one directory; what could not be read is said in `notes`, naming `path`.
// With `walked`, a directory whose data lies in a sector listed before lists nothing, and
// the sectors read are added to it.
std::vector<UdfEntry> listUdfDirectory(const ImageSource& image, const UdfVolume& volume,
                                       const UdfFileEntry& directory, const std::string& path,
                                       std::vector<std::string>& notes,
                                       UdfWalkedSectors* walked = nullptr);

// Every directory from the root, at most kUdfMaxDepth levels down and kUdfMaxDirectories in
// all, each directory's entry and each sector of directory data walked once, so that the
// walk is bounded by the image's size, not by how often its directories name each other.
UdfTree readUdfTree(const ImageSource& image, const UdfVolume& volume);

// A UDF file system read whole: its volume and its tree.
struct UdfFileSystem {
    UdfVolume volume;
    UdfTree tree;
};

Result<UdfFileSystem> readUdfFileSystem(const ImageSource& image);

}  // namespace kestrel
