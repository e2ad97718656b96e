// Where this editor reads an image. Fields are read at fixed byte positions, not through
// the volume descriptor's pointers, because the images it edits put them exactly there.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrel {

inline constexpr uint64_t kSectorSize = 2048;
inline constexpr unsigned kSectorShift = 11;

inline constexpr uint64_t kLabelOffset = 0x8028;
// The label is read as one line of at most this many bytes.
inline constexpr size_t kLabelLineLength = 49;
inline constexpr uint64_t kVolumeSizeOffset = 0x8050;
// Two zero bytes here (where CD-ROM XA images carry their signature) mark a DVD image.
inline constexpr uint64_t kDiscKindOffset = 0x8400;

// The walks start at the root's extent field, two bytes into the path table.
inline constexpr uint64_t kCdPathTableOffset = 0x9802;    // sector 19
inline constexpr uint64_t kDvdPathTableOffset = 0x81002;  // sector 258
// Parent numbers are 16-bit, so no later directory could be attached.
inline constexpr size_t kMaxDirectories = 65535;

// The listing skips the "." and ".." records, 48 bytes each on the images this editor knows.
inline constexpr uint64_t kFirstListedRecordOffset = 96;

// A layer-1 volume starts this many bytes before the end of layer 0.
inline constexpr uint64_t kLayerOneLead = 0x8000;

}  // namespace kestrel
