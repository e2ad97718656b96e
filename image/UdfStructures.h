// The sectors a UDF file system's own structures take, which no file's data should overwrite:
// its anchors, volume descriptor sequences, integrity sequence, file set descriptor, space
// bitmaps, metadata partition files, and for every directory and file its file entry, the
// sectors its allocation descriptors continue in, and a directory's identifiers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/UdfVolume.h"
#include "io/ImageSource.h"

namespace kestrel {

// A UDF volume and its tree, read once for both its structures and its files.
struct UdfStructure {
    uint32_t lba = 0;
    uint64_t sectors = 0;
    // "a UDF anchor volume descriptor pointer", "the UDF file entry of /DOCS/DATA.BIN",
    // "the UDF directory /DOCS".
    std::string what;
    bool directory = false;  // a directory's identifiers
};

// The anchors found where a reader looks for them: at sector 256, 256 sectors before the
// image's end and at its last sector.
std::vector<UdfStructure> udfAnchors(const ImageSource& image);

// Every structure of `udf`, anchors included, in the order found; a structure that starts
// where one found before starts is left out, so that each entry a tree names again and
// again is listed once.
std::vector<UdfStructure> udfStructures(const ImageSource& image, const UdfFileSystem& udf);

}  // namespace kestrel
