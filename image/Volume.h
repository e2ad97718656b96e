// Opening a volume: its label, CD/DVD classification, size, layout, directory hierarchy and
// what else the image carries.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/DirectoryWalk.h"
#include "image/PathTable.h"
#include "image/VolumeDescriptors.h"
#include "io/ImageSource.h"

namespace kestrel {

enum class LayoutKind {
    // The path table at sector 19 or 258 and "." and ".." of 48 bytes each, where CD-ROM XA
    // and DVD mastering puts them; read at those positions as this editor always has.
    Fixed,
    // Everything else: the path table and the root as the primary volume descriptor says.
    Descriptor,
};

struct VolumeFeatures {
    bool joliet = false;
    bool rockRidge = false;
    bool elTorito = false;
    bool udf = false;
    std::string udfRevision;  // "UDF 1.02", where the UDF descriptors can be read
};

struct Volume {
    std::string label;  // "NO LABEL" when the volume identifier is empty
    bool isDvd = false;
    uint32_t volumeSectors = 0;
    LayoutKind layout = LayoutKind::Fixed;
    ListingStart listingStart = ListingStart::Fixed;
    // Set when no path table could be read and the hierarchy was walked from the root.
    bool treeWalked = false;
    // The image holds no ISO 9660 volume, only a UDF file system: the directories are its
    // tree's, each directory's extent the sector of its file entry, and its files are listed,
    // found and edited through their UDF file entries.
    bool udfOnly = false;
    // directories[0] is the root, number 1; every parent comes before its children, and a
    // directory whose extent an earlier one has is marked as its repeat.
    std::vector<PathTableDirectory> directories;
    VolumeFeatures features;
    std::optional<TreeDescriptor> joliet;

    // A name from the volume (an identifier, a path of them) as UTF-8 text: its bytes read as
    // Latin-1, or for a UDF volume the text they were made from.
    std::string nameText(std::string_view bytes) const;
};

Result<Volume> readVolume(const ImageSource& image);

// The directories of a descriptor's tree: from its path table when that starts with the
// descriptor's root, else walked from the root.
Result<std::vector<PathTableDirectory>> readDescriptorTree(const ImageSource& image,
                                                           const TreeDescriptor& descriptor,
                                                           bool* walked = nullptr);

}  // namespace kestrel
