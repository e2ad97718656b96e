#include "ops/UdfSpaceBitmap.h"

#include <algorithm>
#include <string>

#include "image/ByteOrder.h"
#include "image/UdfTag.h"
#include "ops/ImageWriter.h"
#include "ops/UdfSequence.h"

namespace kestrel {

namespace {

constexpr size_t kBitCountAt = 16;
constexpr size_t kByteCountAt = 20;
constexpr size_t kBitsAt = 24;
// A bitmap larger than this (a partition of over a billion blocks) is damage.
constexpr uint32_t kLargestBitmap = 128u << 20;
constexpr uint32_t kUnknownFreeSpace = 0xFFFFFFFF;
constexpr size_t kNextUniqueIdAt = 40;
constexpr uint64_t kFirstFileUniqueId = 16;
// Behind the tables: the implementation's identifier, then the count of files.
constexpr size_t kFileCountBehindTables = 32;

Error integrityChanged(uint32_t sector) {
    return Error{ErrorKind::Changed, "the UDF integrity descriptor at LBA " +
                                         std::to_string(sector) +
                                         " no longer holds what was read; nothing was written"};
}

// The integrity descriptor with `taken` blocks fewer free in the partition's entry and, for a
// new file, its unique ID used and the file counted.
Result<void> countTaken(std::vector<uint8_t>& descriptor, uint32_t sector,
                        const UdfPartitionPlaces& partition, uint32_t taken,
                        std::optional<uint64_t> newFileId) {
    const uint64_t partitions = readLe32(descriptor, kUdfIntegrityPartitionsAt);
    const uint64_t entry = kUdfIntegrityTablesAt + 4 * uint64_t{partition.mapIndex};
    const uint64_t files = kUdfIntegrityTablesAt + 8 * partitions + kFileCountBehindTables;
    if (partition.mapIndex >= partitions || files + 4 > kUdfBlockSize) {
        return integrityChanged(sector);
    }
    const uint32_t free = readLe32(descriptor, entry);
    if (free != kUnknownFreeSpace) {
        writeLe32(descriptor, entry, free - std::min(free, taken));
    }
    if (newFileId) {
        if (std::max(readLe64(descriptor, kNextUniqueIdAt), kFirstFileUniqueId) != *newFileId) {
            return integrityChanged(sector);
        }
        writeLe64(descriptor, kNextUniqueIdAt, *newFileId + 1);
        writeLe32(descriptor, files, readLe32(descriptor, files) + 1);
    }
    sealUdfTag(descriptor);
    return {};
}

Error damaged(uint32_t sector, const std::string& why) {
    return Error{ErrorKind::CorruptImage,
                 "the UDF space bitmap at LBA " + std::to_string(sector) + " " + why};
}

}  // namespace

uint32_t UdfSpaceBitmap::blocks() const {
    return readLe32(descriptor, kBitCountAt);
}

bool UdfSpaceBitmap::isFree(uint32_t block) const {
    return block < blocks() && (descriptor[kBitsAt + block / 8] >> (block % 8) & 1) != 0;
}

uint32_t UdfSpaceBitmap::freeBlocks() const {
    uint32_t count = 0;
    for (uint32_t block = 0; block < blocks(); ++block) {
        count += isFree(block) ? 1 : 0;
    }
    return count;
}

std::optional<UdfBlockRun> UdfSpaceBitmap::firstFreeRun(uint32_t count,
                                                        const ExtentMap& map) const {
    const auto held = [&](uint32_t first) {
        const uint64_t lba = uint64_t{partitionStart} + first;
        return std::ranges::any_of(map.extents, [&](const MappedExtent& extent) {
            return extent.kind != ExtentKind::Gap && extent.lba < lba + count &&
                   lba < extent.lba + extent.sectors;
        });
    };
    uint32_t run = 0;
    for (uint32_t block = 0; block < blocks(); ++block) {
        run = isFree(block) ? run + 1 : 0;
        if (run == count) {
            if (!held(block + 1 - count)) {
                return UdfBlockRun{block + 1 - count, count};
            }
            --run;
        }
    }
    return std::nullopt;
}

Result<UdfSpaceBitmap> readUdfSpaceBitmap(const ImageSource& image, const UdfVolumeExtent& extent,
                                          uint32_t partitionStart) {
    if (extent.length < kBitsAt || extent.length > kLargestBitmap) {
        return damaged(extent.sector,
                       "is recorded as " + std::to_string(extent.length) + " bytes long");
    }
    auto bytes =
        readUdfBlocks(image, extent.sector, (extent.length + kUdfBlockSize - 1) / kUdfBlockSize);
    if (!bytes) {
        return bytes.error();
    }
    const auto tag = checkUdfTag(*bytes, extent.sector - partitionStart);
    if (!tag) {
        return damaged(extent.sector, "is damaged: " + tag.error().message);
    }
    const uint64_t bits = readLe32(*bytes, kBitCountAt);
    const uint64_t length = readLe32(*bytes, kByteCountAt);
    if (*tag != UdfTagId::SpaceBitmap || kBitsAt + length > bytes->size() || bits > length * 8) {
        return damaged(extent.sector, "does not hold a space bitmap of its recorded size");
    }
    bytes->resize(kBitsAt + length);
    return UdfSpaceBitmap{extent.sector, partitionStart, std::move(*bytes)};
}

Result<void> takeUdfBlocks(JournalEdit& edit, const std::optional<UdfSpaceBitmap>& bitmap,
                           const UdfPartitionPlaces& partition, UdfBlockRun taken,
                           std::optional<uint64_t> newFileId) {
    auto image = ImageWriter::openUserData(edit);
    if (!image) {
        return image.error();
    }
    std::vector<uint8_t> bytes;
    const uint64_t at = bitmap ? uint64_t{bitmap->sector} * kUdfBlockSize : 0;
    if (bitmap) {
        bytes.resize(bitmap->descriptor.size());
        const auto read = image->readAt(at, bytes);
        if (!read) {
            return read.error();
        }
        if (bytes != bitmap->descriptor) {
            return Error{ErrorKind::Changed,
                         "the UDF space bitmap at LBA " + std::to_string(bitmap->sector) +
                             " no longer holds what was read; nothing was written"};
        }
    }
    auto integrity = lastUdfIntegrity(*image, partition.integritySequence);
    if (!integrity) {
        return integrity.error();
    }
    if (!*integrity && newFileId) {
        return Error{ErrorKind::Changed, "the UDF integrity descriptor is no longer found"};
    }
    // Without a bitmap no block was recorded as free, so none is taken from the count.
    if (*integrity) {
        if (auto counted = countTaken((*integrity)->bytes, (*integrity)->sector, partition,
                                      bitmap ? taken.count : 0, newFileId);
            !counted) {
            return counted;
        }
    }
    Result<void> written;
    if (bitmap) {
        for (uint32_t block = taken.block; block < taken.block + taken.count; ++block) {
            bytes[kBitsAt + block / 8] &= static_cast<uint8_t>(~(1u << (block % 8)));
        }
        sealUdfTag(bytes);
        const size_t first = kBitsAt + taken.block / 8;
        const size_t last = kBitsAt + (taken.block + taken.count + 7) / 8;
        written = image->writeAt(at, std::span(bytes).first(kUdfTagSize));
        if (written && last > first) {
            written = image->writeAt(at + first, std::span(bytes).subspan(first, last - first));
        }
    }
    if (written && *integrity) {
        written =
            image->writeAt(uint64_t{(*integrity)->sector} * kUdfBlockSize, (*integrity)->bytes);
    }
    return written ? image->finish() : written;
}

Result<uint64_t> nextUdfUniqueId(const ImageSource& image, uint32_t sector) {
    auto bytes = readUdfBlocks(image, sector);
    if (!bytes) {
        return bytes.error();
    }
    const auto tag = checkUdfTag(*bytes, sector);
    if (!tag || *tag != UdfTagId::LogicalVolumeIntegrity) {
        return Error{ErrorKind::CorruptImage, "the UDF integrity descriptor at LBA " +
                                                  std::to_string(sector) + " is damaged"};
    }
    return std::max(readLe64(*bytes, kNextUniqueIdAt), kFirstFileUniqueId);
}

}  // namespace kestrel
