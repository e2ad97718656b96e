#include "ops/UdfPartitionGrowth.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "image/ByteOrder.h"
#include "image/UdfTag.h"
#include "ops/ImageWriter.h"
#include "ops/UdfSequence.h"

namespace kestrel {

namespace {

Error notGrown(const std::string& why) {
    return Error{ErrorKind::InvalidInput,
                 "its UDF partition cannot grow over the sectors added: " + why};
}

UdfTagId tagOf(const UdfSectorWrite& descriptor) {
    return static_cast<UdfTagId>(readLe16(descriptor.bytes, 0));
}

// The partition's descriptors in both sequences, with their new length.
Result<std::vector<UdfSectorWrite>> grownDescriptors(ImageWriter& image,
                                                     const UdfPartitionPlaces& places,
                                                     uint32_t partitionStart,
                                                     uint32_t partitionSectors,
                                                     uint32_t endSector) {
    const uint64_t oldEnd = uint64_t{partitionStart} + partitionSectors;
    std::vector<UdfSectorWrite> grown;
    for (const auto& sequence : {places.mainSequence, places.reserveSequence}) {
        auto descriptors = soundUdfDescriptors(image, sequence);
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
            if (start != partitionStart || length != partitionSectors) {
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
Result<std::optional<UdfSectorWrite>> grownIntegrity(ImageWriter& image,
                                                     const UdfPartitionPlaces& places,
                                                     uint32_t partitionStart,
                                                     uint32_t partitionSectors,
                                                     uint32_t endSector) {
    auto last = lastUdfIntegrity(image, places.integritySequence);
    if (!last || !*last) {
        return last;
    }
    UdfSectorWrite integrity = std::move(**last);
    const uint64_t partitions = readLe32(integrity.bytes, kUdfIntegrityPartitionsAt);
    const uint64_t at = kUdfIntegrityTablesAt + 4 * (partitions + places.mapIndex);
    if (places.mapIndex >= partitions || at + 4 > kUdfBlockSize ||
        readLe32(integrity.bytes, at) != partitionSectors) {
        return std::optional<UdfSectorWrite>();
    }
    writeLe32(integrity.bytes, at, endSector - partitionStart);
    sealUdfTag(integrity.bytes);
    return std::optional(std::move(integrity));
}

}  // namespace

Result<void> growUdfPartition(JournalEdit& edit, const UdfPartitionPlaces& places, uint32_t start,
                              uint32_t sectors, uint32_t endSector) {
    if (endSector <= uint64_t{start} + sectors) {
        return {};
    }
    auto image = ImageWriter::openUserData(edit);
    if (!image) {
        return image.error();
    }
    auto writes = grownDescriptors(*image, places, start, sectors, endSector);
    if (!writes) {
        return writes.error();
    }
    auto integrity = grownIntegrity(*image, places, start, sectors, endSector);
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
    return image->finish();
}

}  // namespace kestrel
