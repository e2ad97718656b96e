// The volume side of UDF: the recognition sequence from sector 16 (ECMA-167 2/9), the anchor
// volume descriptor pointer (3/10.2) and the volume descriptor sequence it names (3/8.4): the
// primary, partition and logical volume descriptors with the logical volume's partition maps
// (3/10.7; OSTA UDF 2.2.8 to 2.2.10), and where the integrity descriptor lies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/ImageSource.h"
#include "io/Result.h"

namespace kestrel {

// An extent of the volume (extent_ad): a byte length and an absolute sector.
struct UdfVolumeExtent {
    uint32_t length = 0;
    uint32_t sector = 0;
};

// A place in a partition (long_ad): a byte length, a logical block, a partition reference
// (an index into the logical volume's partition maps).
struct UdfLongAd {
    uint32_t length = 0;
    uint32_t block = 0;
    uint16_t partition = 0;
};

// Byte positions in a partition descriptor (ECMA-167 3/10.5), which growing a partition
// rewrites.
namespace udf_partition {
inline constexpr size_t kNumberAt = 22;
// The partition header: the unallocated space table and bitmap, the integrity table, the
// freed space table and bitmap, a short_ad each.
inline constexpr size_t kHeaderAt = 56;
inline constexpr size_t kHeaderExtents = 5;
inline constexpr size_t kStartAt = 188;
inline constexpr size_t kLengthAt = 192;
}  // namespace udf_partition

struct UdfPartition {
    uint16_t number = 0;
    uint32_t accessType = 0;  // 1 read-only, 2 write-once, 3 rewritable, 4 overwritable
    uint32_t startSector = 0;
    uint32_t sectors = 0;
    uint32_t descriptorSector = 0;
    // The unallocated space bitmap (its absolute sector and byte length), when the partition
    // header names one.
    std::optional<UdfVolumeExtent> spaceBitmap;
};

enum class UdfMapKind : uint8_t { Physical, Metadata };

struct UdfPartitionMap {
    UdfMapKind kind = UdfMapKind::Physical;
    size_t partition = 0;  // index into UdfVolumeDescriptors::partitions
    // Logical blocks of the partition, for a metadata map; the bitmap file is optional.
    uint32_t metadataFile = 0;
    uint32_t metadataMirror = 0;
    std::optional<uint32_t> metadataBitmap;
};

struct UdfVolumeDescriptors {
    uint8_t nsrVersion = 0;  // 2 or 3, from the recognition sequence
    uint32_t anchorSector = 0;
    UdfVolumeExtent mainSequence;
    UdfVolumeExtent reserveSequence;
    bool reserveRead = false;  // the main sequence was damaged
    uint32_t primarySector = 0;
    uint32_t logicalVolumeSector = 0;
    std::string volumeIdentifier;
    std::string logicalVolumeIdentifier;
    uint16_t revision = 0;  // the logical volume's domain identifier suffix
    UdfLongAd fileSet;
    UdfVolumeExtent integritySequence;
    std::vector<UdfPartition> partitions;
    std::vector<UdfPartitionMap> maps;
};

// The NSR version the recognition sequence names; an error when it names none.
Result<uint8_t> readUdfRecognition(const ImageSource& image);

// Reads the descriptors through the first sound anchor; a damaged main sequence is read from
// its reserve, which `notes` then says. Images that use a virtual allocation table or
// sparing, or blocks other than 2048 bytes, are refused with the reason.
Result<UdfVolumeDescriptors> readUdfDescriptors(const ImageSource& image,
                                                std::vector<std::string>& notes);

// The last sound integrity descriptor of the sequence, or nothing with a note.
std::optional<uint32_t> findUdfIntegrityDescriptor(const ImageSource& image,
                                                   const UdfVolumeExtent& sequence,
                                                   std::vector<std::string>& notes);

}  // namespace kestrel
