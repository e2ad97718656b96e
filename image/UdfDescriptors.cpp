#include "image/UdfDescriptors.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "image/ByteOrder.h"
#include "image/UdfNames.h"
#include "image/UdfTag.h"

namespace kestrel {
namespace {

// The recognition sequence is one descriptor a sector from 16 up to the anchor at 256.
constexpr uint32_t kRecognitionStart = 16;
constexpr uint32_t kRecognitionEnd = 256;
constexpr uint32_t kAnchorSector = 256;
// A sequence and its pointers are bounded so that a crafted chain cannot read forever;
// real sequences hold under ten descriptors in one extent.
constexpr uint32_t kMaxSequenceSectors = 4096;
constexpr unsigned kMaxSequencePointers = 16;
constexpr uint32_t kMaxIntegritySectors = 256;

// Byte positions in the descriptors, ECMA-167 3/10.
constexpr size_t kSequenceNumberAt = 16;
constexpr size_t kAnchorMainAt = 16;
constexpr size_t kAnchorReserveAt = 24;
constexpr size_t kPointerNextAt = 20;
constexpr size_t kPrimaryIdentifierAt = 24;
constexpr size_t kPrimaryIdentifierSize = 32;
constexpr size_t kPartitionBitmapAt = udf_partition::kHeaderAt + 8;
constexpr size_t kPartitionAccessAt = 184;
constexpr size_t kVolumeIdentifierAt = 84;
constexpr size_t kVolumeIdentifierSize = 128;
constexpr size_t kBlockSizeAt = 212;
constexpr size_t kDomainSuffixAt = 216 + 24;
constexpr size_t kFileSetAt = 248;
constexpr size_t kMapTableLengthAt = 264;
constexpr size_t kMapCountAt = 268;
constexpr size_t kIntegrityAt = 432;
constexpr size_t kMapsAt = 440;

Error corrupt(const std::string& message) {
    return Error{ErrorKind::CorruptImage, message};
}

UdfVolumeExtent readExtentAd(std::span<const uint8_t> bytes, size_t at) {
    return {readLe32(bytes, at), readLe32(bytes, at + 4)};
}

bool isBlank(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// What one sequence holds, with the prevailing (highest-numbered) copy of each descriptor.
struct SequenceRead {
    UdfVolumeDescriptors descriptors;
    std::optional<uint32_t> primaryNumber;
    std::optional<uint32_t> logicalVolumeNumber;
    std::vector<uint32_t> partitionNumbers;
    std::vector<uint8_t> logicalVolume;
};

void takePartition(SequenceRead& read, std::span<const uint8_t> bytes, uint32_t sector) {
    UdfPartition partition;
    partition.number = readLe16(bytes, udf_partition::kNumberAt);
    partition.accessType = readLe32(bytes, kPartitionAccessAt);
    partition.startSector = readLe32(bytes, udf_partition::kStartAt);
    partition.sectors = readLe32(bytes, udf_partition::kLengthAt);
    partition.descriptorSector = sector;
    const uint32_t bitmapLength = readLe32(bytes, kPartitionBitmapAt) & kUdfExtentLengthMask;
    const uint32_t bitmapBlock = readLe32(bytes, kPartitionBitmapAt + 4);
    if (bitmapLength != 0 && bitmapBlock < partition.sectors) {
        partition.spaceBitmap = UdfVolumeExtent{bitmapLength, partition.startSector + bitmapBlock};
    }
    const uint32_t number = readLe32(bytes, kSequenceNumberAt);
    auto& partitions = read.descriptors.partitions;
    const auto same = std::find_if(partitions.begin(), partitions.end(),
                                   [&](const auto& p) { return p.number == partition.number; });
    if (same == partitions.end()) {
        partitions.push_back(partition);
        read.partitionNumbers.push_back(number);
    } else if (number >= read.partitionNumbers[size_t(same - partitions.begin())]) {
        *same = partition;
        read.partitionNumbers[size_t(same - partitions.begin())] = number;
    }
}

// Whether the descriptor replaces the one kept: the first, or one of a higher number.
bool prevails(std::optional<uint32_t>& kept, std::span<const uint8_t> bytes) {
    const uint32_t number = readLe32(bytes, kSequenceNumberAt);
    if (kept && number < *kept) {
        return false;
    }
    kept = number;
    return true;
}

Result<SequenceRead> readSequence(const ImageSource& image, UdfVolumeExtent extent) {
    SequenceRead read;
    uint64_t sector = extent.sector;
    uint64_t end = sector + extent.length / kUdfBlockSize;
    unsigned pointers = 0;
    for (uint32_t count = 0; sector < end; ++count) {
        if (count == kMaxSequenceSectors) {
            return corrupt("it runs past " + std::to_string(kMaxSequenceSectors) + " sectors");
        }
        auto bytes = readUdfBlocks(image, sector);
        if (!bytes) {
            return bytes.error();
        }
        // An unrecorded sector ends a sequence as a terminating descriptor does.
        if (isBlank(std::span(*bytes).first(kUdfTagSize))) {
            break;
        }
        auto id = checkUdfTag(*bytes, static_cast<uint32_t>(sector));
        if (!id) {
            return corrupt("the descriptor at sector " + std::to_string(sector) +
                           " is damaged: " + id.error().message);
        }
        const std::span<const uint8_t> view(*bytes);
        switch (*id) {
            case UdfTagId::PrimaryVolume:
                if (prevails(read.primaryNumber, view)) {
                    read.descriptors.primarySector = static_cast<uint32_t>(sector);
                    read.descriptors.volumeIdentifier =
                        udfDstring(view.subspan(kPrimaryIdentifierAt, kPrimaryIdentifierSize));
                }
                break;
            case UdfTagId::Partition:
                takePartition(read, view, static_cast<uint32_t>(sector));
                break;
            case UdfTagId::LogicalVolume:
                if (prevails(read.logicalVolumeNumber, view)) {
                    read.descriptors.logicalVolumeSector = static_cast<uint32_t>(sector);
                    read.logicalVolume = *bytes;
                }
                break;
            case UdfTagId::VolumePointer: {
                if (++pointers > kMaxSequencePointers) {
                    return corrupt("its descriptor pointers go on past " +
                                   std::to_string(kMaxSequencePointers));
                }
                const auto next = readExtentAd(view, kPointerNextAt);
                sector = next.sector;
                end = sector + next.length / kUdfBlockSize;
                continue;
            }
            case UdfTagId::Terminating:
                end = sector;
                continue;
            case UdfTagId::ImplementationUse:
            case UdfTagId::UnallocatedSpace:
                break;
            default:
                return corrupt("sector " + std::to_string(sector) + " holds a descriptor of type " +
                               std::to_string(static_cast<unsigned>(*id)) +
                               ", which has no place in a volume descriptor sequence");
        }
        ++sector;
    }
    if (!read.primaryNumber || !read.logicalVolumeNumber || read.descriptors.partitions.empty()) {
        return corrupt("it holds no primary volume, logical volume and partition descriptors");
    }
    return read;
}

// A sound logical volume that Kestrel does not read sets `refusal` to why, as in "uses ...".
Result<void> readMaps(SequenceRead& read, std::optional<std::string>& refusal) {
    auto& out = read.descriptors;
    const std::span<const uint8_t> volume(read.logicalVolume);
    const uint32_t tableLength = readLe32(volume, kMapTableLengthAt);
    const uint32_t count = readLe32(volume, kMapCountAt);
    if (tableLength > volume.size() - kMapsAt) {
        return corrupt("its partition map table of " + std::to_string(tableLength) +
                       " bytes does not fit in its logical volume descriptor");
    }
    const auto table = volume.subspan(kMapsAt, tableLength);
    size_t at = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (at + 2 > table.size() || table[at + 1] < 2 || at + table[at + 1] > table.size()) {
            return corrupt("partition map " + std::to_string(i) +
                           " reaches past its table's recorded length");
        }
        const auto map = table.subspan(at, table[at + 1]);
        at += map.size();
        UdfPartitionMap parsed;
        uint16_t number = 0;
        if (map[0] == 1 && map.size() == 6) {
            number = readLe16(map, 4);
        } else if (map[0] == 2 && map.size() == 64) {
            const auto name = map.subspan(5, 23);
            const std::string_view identifier(
                reinterpret_cast<const char*>(name.data()),
                std::find(name.begin(), name.end(), 0) - name.begin());
            if (identifier == "*UDF Virtual Partition") {
                refusal = "uses a virtual allocation table (VAT), which Kestrel does not read";
            } else if (identifier == "*UDF Sparable Partition") {
                refusal = "uses a sparable partition (sparing tables), which Kestrel does not read";
            } else if (identifier != "*UDF Metadata Partition") {
                refusal = "uses a partition map \"" + std::string(identifier) +
                          "\", which Kestrel does not read";
            }
            if (refusal) {
                return corrupt(*refusal);
            }
            parsed.kind = UdfMapKind::Metadata;
            number = readLe16(map, 38);
            parsed.metadataFile = readLe32(map, 40);
            parsed.metadataMirror = readLe32(map, 44);
            if (const uint32_t bitmap = readLe32(map, 48); bitmap != 0xFFFFFFFF) {
                parsed.metadataBitmap = bitmap;
            }
        } else {
            return corrupt("partition map " + std::to_string(i) + " is of type " +
                           std::to_string(map[0]) + " and " + std::to_string(map.size()) +
                           " bytes, which Kestrel does not read");
        }
        const auto found =
            std::find_if(out.partitions.begin(), out.partitions.end(),
                         [&](const UdfPartition& partition) { return partition.number == number; });
        if (found == out.partitions.end()) {
            return corrupt("partition map " + std::to_string(i) + " names partition " +
                           std::to_string(number) + ", which no partition descriptor describes");
        }
        parsed.partition = size_t(found - out.partitions.begin());
        out.maps.push_back(parsed);
    }
    if (out.maps.empty()) {
        return corrupt("its logical volume has no partition maps");
    }
    return {};
}

Result<UdfVolumeDescriptors> readLogicalVolume(const ImageSource& image, UdfVolumeExtent extent,
                                               std::optional<std::string>& refusal) {
    auto read = readSequence(image, extent);
    if (!read) {
        return read.error();
    }
    const std::span<const uint8_t> volume(read->logicalVolume);
    const uint32_t blockSize = readLe32(volume, kBlockSizeAt);
    if (blockSize != kUdfBlockSize) {
        refusal = "has logical blocks of " + std::to_string(blockSize) +
                  " bytes, and Kestrel reads 2048-byte blocks only";
        return corrupt(*refusal);
    }
    auto& out = read->descriptors;
    out.logicalVolumeIdentifier =
        udfDstring(volume.subspan(kVolumeIdentifierAt, kVolumeIdentifierSize));
    out.revision = readLe16(volume, kDomainSuffixAt);
    out.fileSet = {readLe32(volume, kFileSetAt), readLe32(volume, kFileSetAt + 4),
                   readLe16(volume, kFileSetAt + 8)};
    out.integritySequence = readExtentAd(volume, kIntegrityAt);
    if (auto maps = readMaps(*read, refusal); !maps) {
        return maps.error();
    }
    return std::move(out);
}

Result<UdfVolumeExtent> readAnchor(const ImageSource& image, std::vector<std::string>& notes,
                                   UdfVolumeExtent& reserve, uint32_t& anchorSector) {
    auto size = image.size();
    if (!size) {
        return size.error();
    }
    const uint64_t sectors = *size / kUdfBlockSize;
    std::vector<uint64_t> candidates{kAnchorSector};
    if (sectors > kAnchorSector * 2) {
        candidates.push_back(sectors - kAnchorSector);
    }
    if (sectors > kAnchorSector + 1) {
        candidates.push_back(sectors - 1);
    }
    std::string reasons;
    for (const uint64_t sector : candidates) {
        auto bytes = readUdfBlocks(image, sector);
        std::string reason;
        if (!bytes) {
            reason = bytes.error().message;
        } else if (auto id = checkUdfTag(*bytes, static_cast<uint32_t>(sector)); !id) {
            reason = id.error().message;
        } else if (*id != UdfTagId::AnchorPointer) {
            reason = "it is no anchor volume descriptor pointer";
        } else {
            if (!reasons.empty()) {
                notes.push_back("The anchor volume descriptor pointer was read at sector " +
                                std::to_string(sector) + "; " + reasons + ".");
            }
            anchorSector = static_cast<uint32_t>(sector);
            reserve = readExtentAd(*bytes, kAnchorReserveAt);
            return readExtentAd(*bytes, kAnchorMainAt);
        }
        reasons +=
            (reasons.empty() ? "" : "; ") + ("sector " + std::to_string(sector) + ": ") + reason;
    }
    return corrupt(image.path() + " holds no sound UDF anchor volume descriptor pointer (" +
                   reasons + ")");
}

}  // namespace

Result<uint8_t> readUdfRecognition(const ImageSource& image) {
    bool extended = false;
    for (uint32_t sector = kRecognitionStart; sector < kRecognitionEnd; ++sector) {
        auto bytes = readUdfBlocks(image, sector);
        if (!bytes) {
            break;
        }
        const std::string_view identifier(reinterpret_cast<const char*>(bytes->data() + 1), 5);
        if (identifier == "BEA01") {
            extended = true;
        } else if (extended && (identifier == "NSR02" || identifier == "NSR03")) {
            return static_cast<uint8_t>(identifier[4] - '0');
        } else if (identifier == "TEA01" ||
                   (identifier != "CD001" && identifier != "CDW02" && identifier != "BOOT2")) {
            break;
        }
    }
    return corrupt(image.path() +
                   " holds no UDF volume: no NSR02 or NSR03 descriptor follows a BEA01 from "
                   "sector 16");
}

Result<UdfVolumeDescriptors> readUdfDescriptors(const ImageSource& image,
                                                std::vector<std::string>& notes) {
    auto nsr = readUdfRecognition(image);
    if (!nsr) {
        return nsr.error();
    }
    UdfVolumeExtent reserve;
    uint32_t anchorSector = 0;
    auto main = readAnchor(image, notes, reserve, anchorSector);
    if (!main) {
        return main.error();
    }
    std::optional<std::string> refusal;
    auto descriptors = readLogicalVolume(image, *main, refusal);
    bool reserveRead = false;
    if (!descriptors && !refusal) {
        const std::string mainReason = descriptors.error().message;
        descriptors = readLogicalVolume(image, reserve, refusal);
        if (!descriptors && !refusal) {
            return corrupt(image.path() + ": the main volume descriptor sequence at sector " +
                           std::to_string(main->sector) + " cannot be read (" + mainReason +
                           "), nor the reserve at sector " + std::to_string(reserve.sector) + " (" +
                           descriptors.error().message + ")");
        }
        reserveRead = descriptors.ok();
        notes.push_back("The main volume descriptor sequence at sector " +
                        std::to_string(main->sector) + " is damaged (" + mainReason +
                        "); the reserve at sector " + std::to_string(reserve.sector) +
                        " was read.");
    }
    if (refusal) {
        return corrupt(image.path() + " " + *refusal);
    }
    descriptors->nsrVersion = *nsr;
    descriptors->anchorSector = anchorSector;
    descriptors->mainSequence = *main;
    descriptors->reserveSequence = reserve;
    descriptors->reserveRead = reserveRead;
    return descriptors;
}

std::optional<uint32_t> findUdfIntegrityDescriptor(const ImageSource& image,
                                                   const UdfVolumeExtent& sequence,
                                                   std::vector<std::string>& notes) {
    std::optional<uint32_t> last;
    const uint32_t sectors = std::min(sequence.length / kUdfBlockSize, kMaxIntegritySectors);
    for (uint32_t i = 0; i < sectors; ++i) {
        const uint64_t sector = uint64_t{sequence.sector} + i;
        auto bytes = readUdfBlocks(image, sector);
        if (!bytes || isBlank(std::span(*bytes).first(kUdfTagSize))) {
            break;
        }
        auto id = checkUdfTag(*bytes, static_cast<uint32_t>(sector));
        if (!id) {
            notes.push_back("The integrity descriptor at sector " + std::to_string(sector) +
                            " is damaged: " + id.error().message + ".");
            break;
        }
        if (*id != UdfTagId::LogicalVolumeIntegrity) {
            break;
        }
        last = static_cast<uint32_t>(sector);
    }
    if (!last) {
        notes.push_back("No logical volume integrity descriptor was found at sector " +
                        std::to_string(sequence.sector) + ".");
    }
    return last;
}

}  // namespace kestrel
