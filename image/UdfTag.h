// The 16-byte tag that starts every UDF descriptor (ECMA-167 3/7.2), and reading descriptors
// whole from the image. A tag is sound when its checksum, its CRC over the descriptor's CRC
// length and its recorded location all hold; nothing else is trusted until they do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "io/ImageSource.h"
#include "io/Result.h"

namespace kestrel {

inline constexpr uint32_t kUdfBlockSize = 2048;
inline constexpr size_t kUdfTagSize = 16;
inline constexpr size_t kUdfTagLocationAt = 12;  // the sector or block it says it lies in
inline constexpr size_t kUdfTagCrcLengthAt = 10;
// An extent's length (extent_ad, short_ad, long_ad) keeps its type in the top two bits.
inline constexpr uint32_t kUdfExtentLengthMask = 0x3FFFFFFF;

// Tag identifiers, ECMA-167 3/7.2.1 and 4/7.2.1.
enum class UdfTagId : uint16_t {
    PrimaryVolume = 1,
    AnchorPointer = 2,
    VolumePointer = 3,
    ImplementationUse = 4,
    Partition = 5,
    LogicalVolume = 6,
    UnallocatedSpace = 7,
    Terminating = 8,
    LogicalVolumeIntegrity = 9,
    FileSet = 256,
    FileIdentifier = 257,
    AllocationExtent = 258,
    IndirectEntry = 259,
    FileEntry = 261,
    SpaceBitmap = 264,
    ExtendedFileEntry = 266,
};

inline uint64_t readLe64(std::span<const uint8_t> bytes, size_t at) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) {
        value |= uint64_t{bytes[at + i]} << (8 * i);
    }
    return value;
}

// CRC-16/CCITT (polynomial 0x1021, initial value 0), as ECMA-167 1/7.2.6 defines it.
uint16_t udfCrc16(std::span<const uint8_t> bytes);

// The identifier of the descriptor that starts `descriptor`, once its tag is found sound for
// a descriptor read at `location` (a sector, or a logical block of its partition); else why
// it is not, as in "its tag checksum is 0x12, not 0x34".
Result<UdfTagId> checkUdfTag(std::span<const uint8_t> descriptor, uint32_t location);

// Makes the tag of a descriptor whose bytes were changed sound again: its CRC over the CRC
// length it records (cut to the descriptor's bytes), then its checksum; its location is kept.
void sealUdfTag(std::span<uint8_t> descriptor);

// `count` whole blocks from absolute sector `sector`; an image that ends first is an error.
Result<std::vector<uint8_t>> readUdfBlocks(const ImageSource& image, uint64_t sector,
                                           uint32_t count = 1);

}  // namespace kestrel
