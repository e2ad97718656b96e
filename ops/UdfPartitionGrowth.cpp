#include "ops/UdfPartitionGrowth.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "image/ByteOrder.h"
#include "image/UdfTag.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

constexpr size_t kIntegrityPartitionsAt = 72;
constexpr size_t kIntegrityTablesAt = 80;  // the free space table, then the size table
// A sequence longer than this is damage; the walk stops there.
constexpr uint32_t kMostSequenceSectors = 64;

struct SectorWrite {
    uint32_t sector = 0;
    std::vector<uint8_t> bytes;
};

Error notGrown(const std::string& why) {
    return Error{ErrorKind::InvalidInput,
                 "its UDF partition cannot grow over the sectors added: " + why};
}

// The sound descriptors of `extent` up to its terminator, each with its sector.
Result<std::vector<SectorWrite>> descriptorsOf(ImageWriter& image, const UdfVolumeExtent& extent) {
    std::vector<SectorWrite> found;
    const uint32_t sectors = std::min(extent.length / kUdfBlockSize, kMostSequenceSectors);
    for (uint32_t i = 0; i < sectors; ++i) {
        SectorWrite descriptor{extent.sector + i, std::vector<uint8_t>(kUdfBlockSize)};
        const auto read =
            image.readAt(uint64_t{descriptor.sector} * kUdfBlockSize, descriptor.bytes);
        if (!read) {
            return read.error();
        }
        const auto tag = *read == kUdfBlockSize
                             ? checkUdfTag(descriptor.bytes, descriptor.sector)
                             : Result<UdfTagId>(Error{ErrorKind::CorruptImage, "cut short"});
        if (!tag || *tag == UdfTagId::Terminating) {
            break;
        }
        found.push_back(std::move(descriptor));
    }
    return found;
}

UdfTagId tagOf(const SectorWrite& descriptor) {
    return static_cast<UdfTagId>(readLe16(descriptor.bytes, 0));
}

// The partition's descriptors in both sequences, with their new length.
Result<std::vector<SectorWrite>> grownDescriptors(ImageWriter& image, const UdfTwin& twin,
                                                  uint32_t endSector) {
    const UdfPartitionPlaces& places = twin.partitionPlaces;
    const uint64_t oldEnd = uint64_t{twin.partitionStart} + twin.partitionSectors;
    std::vector<SectorWrite> grown;
    for (const auto& sequence : {places.mainSequence, places.reserveSequence}) {
        auto descriptors = descriptorsOf(image, sequence);
        if (!descriptors) {
            return descriptors.error();
        }
        for (auto& descriptor : *descriptors) {
            if (tagOf(descriptor) != UdfTagId::Partition) {
                continue;
            }
            const auto& bytes = descriptor.bytes;
            const uint32_t start = readLe32(bytes, udf_partition::kStartAt);
            const uint32_t length = readLe32(bytes, udf_partition::kLengthAt);
            if (readLe16(bytes, udf_partition::kNumberAt) != places.number) {
                if (start < endSector && uint64_t{start} + length > oldEnd) {
                    return notGrown("UDF partition " +
                                    std::to_string(readLe16(bytes, udf_partition::kNumberAt)) +
                                    " lies behind it");
                }
                continue;
            }
            if (start != twin.partitionStart || length != twin.partitionSectors) {
                return Error{ErrorKind::Changed, "its UDF partition descriptor at LBA " +
                                                     std::to_string(descriptor.sector) +
                                                     " no longer holds what was read"};
            }
            for (size_t i = 0; i < udf_partition::kHeaderExtents; ++i) {
                if ((readLe32(bytes, udf_partition::kHeaderAt + 8 * i) & kUdfExtentLengthMask) !=
                    0) {
                    return notGrown(
                        "it keeps a record of its free space, which does not cover them");
                }
            }
            writeLe32(descriptor.bytes, udf_partition::kLengthAt, endSector - start);
            sealUdfTag(descriptor.bytes);
            grown.push_back(std::move(descriptor));
        }
    }
    if (grown.empty()) {
        return notGrown("no sound partition descriptor records it");
    }
    return grown;
}

// The last integrity descriptor of its sequence with the partition's new size, where its size
// table recorded the old one; nothing where it recorded something else, which stays.
Result<std::optional<SectorWrite>> grownIntegrity(ImageWriter& image, const UdfTwin& twin,
                                                  uint32_t endSector) {
    auto descriptors = descriptorsOf(image, twin.partitionPlaces.integritySequence);
    if (!descriptors) {
        return descriptors.error();
    }
    const auto last = std::ranges::find_if(
        descriptors->rbegin(), descriptors->rend(), [](const SectorWrite& descriptor) {
            return tagOf(descriptor) == UdfTagId::LogicalVolumeIntegrity;
        });
    if (last == descriptors->rend()) {
        return std::optional<SectorWrite>();
    }
    SectorWrite integrity = std::move(*last);
    const uint64_t partitions = readLe32(integrity.bytes, kIntegrityPartitionsAt);
    const uint64_t at = kIntegrityTablesAt + 4 * (partitions + twin.partitionPlaces.mapIndex);
    if (twin.partitionPlaces.mapIndex >= partitions || at + 4 > kUdfBlockSize ||
        readLe32(integrity.bytes, at) != twin.partitionSectors) {
        return std::optional<SectorWrite>();
    }
    writeLe32(integrity.bytes, at, endSector - twin.partitionStart);
    sealUdfTag(integrity.bytes);
    return std::optional(std::move(integrity));
}

}  // namespace

Result<UdfTwin> growUdfPartition(JournalEdit& edit, const UdfTwin& twin, uint32_t endSector) {
    if (endSector <= uint64_t{twin.partitionStart} + twin.partitionSectors) {
        return twin;
    }
    auto image = ImageWriter::openUserData(edit);
    if (!image) {
        return image.error();
    }
    auto writes = grownDescriptors(*image, twin, endSector);
    if (!writes) {
        return writes.error();
    }
    auto integrity = grownIntegrity(*image, twin, endSector);
    if (!integrity) {
        return integrity.error();
    }
    if (*integrity) {
        writes->push_back(std::move(**integrity));
    }
    for (const auto& write : *writes) {
        if (auto written = image->writeAt(uint64_t{write.sector} * kUdfBlockSize, write.bytes);
            !written) {
            return written.error();
        }
    }
    if (auto finished = image->finish(); !finished) {
        return finished.error();
    }
    UdfTwin grown = twin;
    grown.partitionSectors = endSector - twin.partitionStart;
    return grown;
}

}  // namespace kestrel
