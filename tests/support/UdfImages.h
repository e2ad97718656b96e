// UDF images from other makers, made at test time from one small tree: mkudffs at each
// revision it writes (empty volumes), genisoimage's UDF 1.02 bridge, the same image with its
// ISO 9660 descriptors cleared (UDF alone), and pycdlib's UDF 2.60 bridge.
#pragma once

#include <cstddef>
#include <optional>
#include <ostream>
#include <string>

#include "support/TestFiles.h"

namespace kestrel::test {

struct UdfMaker {
    const char* name;
    // A shell command that makes {image} from {tree}; {script} is pycdlib's writer.
    const char* make;
    const char* revision;  // as UdfVolume::revisionText says it
    const char* label;     // the logical volume identifier
    bool withFiles;
};

inline void PrintTo(const UdfMaker& maker, std::ostream* out) {
    *out << maker.name;
}

extern const UdfMaker kUdfMakers[7];

// Entries of the tree, directories included, that an image made from it lists.
inline constexpr size_t kUdfTreeEntries = 10;

// Turns a genisoimage -udf image into one whose file set, file entries and directories lie in
// a UDF 2.50 metadata partition, the files' data named by long allocation descriptors, with a
// mirror that is a copy apart (support/udf-metadata-partition.py); false when it failed.
bool moveIntoMetadataPartition(const std::string& image);
// Whether the mirror of such an image still holds what its metadata file holds.
bool metadataMirrorMatches(const std::string& image);

// Gives a genisoimage -udf image free blocks at the end of its partition, made overwritable,
// and a space bitmap that records them, as a formatted rewritable disc has
// (support/udf-space-bitmap.py); false when it failed.
bool giveSpaceBitmap(const std::string& image);
// The blocks the space bitmap of such an image marks free.
std::optional<unsigned long> bitmapFreeBlocks(const std::string& image);

// Turns a bridge image into one of UDF alone: its recognition sequence moved up to sector 16
// over the ISO 9660 descriptors, the sectors it leaves cleared; false when it has none.
bool clearIsoDescriptors(const std::string& image);

// Makes the maker's image in `work` and returns its path; nothing when the command failed.
std::optional<std::string> makeUdfImage(const TempDir& work, const UdfMaker& maker);

}  // namespace kestrel::test
