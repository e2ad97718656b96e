// The map of a volume: every extent in LBA order (the system area, the volume descriptors,
// the path tables, each directory and each file of the ISO 9660 and Joliet trees, the El
// Torito boot catalog and images, the UDF file system's structures; on a volume with UDF
// alone, its structures and every UDF file's extents) and the gaps between them, so that any
// sector can be told whose it is.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/Volume.h"
#include "io/ImageSource.h"

namespace kestrel {

enum class ExtentKind { SystemArea, Descriptors, PathTable, Directory, Boot, File, Gap };

// A file whose record points at an extent: its path in its tree, and its long name.
struct ExtentOwner {
    std::string path;  // "/DATA/A.BIN" in the image's bytes; UTF-8 for Joliet and UDF trees
    std::string longName;
    uint32_t size = 0;
    bool joliet = false;
    bool udf = false;  // a file of a volume with UDF alone
};

struct MappedExtent {
    uint32_t lba = 0;
    uint64_t sectors = 0;  // 0 for an empty file, which holds no sector
    ExtentKind kind = ExtentKind::Gap;
    // What a structure is ("type L path table", a directory's path), in the image's bytes or,
    // for a UDF structure, in UTF-8; empty for files and gaps.
    std::string what;
    std::vector<ExtentOwner> owners;  // files only: every record pointing at the extent
    // A file extent that another file's extent overlaps, as relinked files do.
    bool shared = false;
    bool udf = false;  // a structure of the UDF file system
};

struct ExtentMap {
    uint32_t volumeSectors = 0;
    std::vector<MappedExtent> extents;  // by LBA; structures before files at the same LBA
};

// Maps the volume read from `image`, whose LBAs count from the image's start (the layer-1
// copy for layer 1). Records that cannot be read end their directory's walk, as in a listing;
// a UDF file of several extents is mapped at each, and data a UDF file entry embeds has no
// extent of its own.
Result<ExtentMap> mapVolume(const ImageSource& image, const Volume& volume);

// The extents holding sector `lba`; none beyond every extent and the volume.
std::vector<MappedExtent> extentsHolding(const ExtentMap& map, uint32_t lba);

const char* extentKindName(ExtentKind kind);

// What an extent is, as the map's lines and whois name it: the structure, "gap", or every file
// whose record points at it ("Joliet " before a Joliet path, the long name in brackets).
std::string extentText(const MappedExtent& extent);
// whois's answer for sector `lba`: "LBA<tab>kind<tab>what" for each extent holding it, or one
// line saying that none does.
std::vector<std::string> whoisLines(const ExtentMap& map, uint32_t lba);

}  // namespace kestrel
