// Where ISO 9660 structures lie in an image: the primary volume descriptor's fields, and
// the fixed positions of the layout that CD-ROM XA and DVD images made by mastering tools
// keep (path table in sector 19 or 258, "." and ".." of 48 bytes each).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

inline constexpr uint64_t kSectorSize = 2048;
inline constexpr unsigned kSectorShift = 11;

inline constexpr uint64_t kDescriptorsOffset = 0x8000;  // sector 16
// The set of volume descriptors ends with one of this type. The descriptors and the
// recognition sequence behind them fit in kMostDescriptorSectors on every image seen; the
// bound keeps a set without a terminator from being read to the end of the file.
inline constexpr uint8_t kTerminatorType = 255;
inline constexpr size_t kMostDescriptorSectors = 64;
inline constexpr uint8_t kPrimaryType = 1;
inline constexpr uint8_t kSupplementaryType = 2;
// A primary or supplementary descriptor's path-table size and type-L table location.
inline constexpr size_t kPathTableSizeAt = 132;
inline constexpr size_t kTypeLTableAt = 140;
// A primary or supplementary descriptor's root directory record, and its length.
inline constexpr size_t kDescriptorRootAt = 156;
inline constexpr size_t kDescriptorRootLength = 34;
inline constexpr uint64_t kLabelOffset = 0x8028;
// The label is read as one line of at most this many bytes.
inline constexpr size_t kLabelLineLength = 49;
inline constexpr uint64_t kVolumeSizeOffset = 0x8050;
// Two zero bytes here (where CD-ROM XA images carry their signature) mark a DVD image.
inline constexpr uint64_t kDiscKindOffset = 0x8400;

// The fixed layout's path tables, by the classification above.
inline constexpr uint64_t kCdPathTableOffset = 0x9800;    // sector 19
inline constexpr uint64_t kDvdPathTableOffset = 0x81000;  // sector 258
// The fixed layout lists a directory from here, behind its "." and ".." records.
inline constexpr uint64_t kFixedListingOffset = 96;
inline constexpr uint8_t kFixedDotRecordLength = 48;

// Parent numbers are 16-bit, so no later directory could be attached.
inline constexpr size_t kMaxDirectories = 65535;
// Far deeper than the eight levels ISO 9660 allows, as Rock Ridge trees go deeper; the bound
// keeps every path short, whatever parent numbers a path table holds.
inline constexpr size_t kMaxDirectoryDepth = 64;

}  // namespace kestrel
