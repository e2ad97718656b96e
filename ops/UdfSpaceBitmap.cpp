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

std::optional<UdfBlockRun> UdfSpaceBitmap::firstFreeRun(uint32_t count, uint32_t from) const {
    uint32_t run = 0;
    for (uint32_t block = from; block < blocks(); ++block) {
        run = isFree(block) ? run + 1 : 0;
        if (run == count) {
            return UdfBlockRun{block + 1 - count, count};
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

Result<void> takeUdfBlocks(JournalEdit& edit, const UdfSpaceBitmap& bitmap, const UdfTwin& twin,
                           UdfBlockRun taken) {
    auto image = ImageWriter::openUserData(edit);
    if (!image) {
        return image.error();
    }
    const uint64_t at = uint64_t{bitmap.sector} * kUdfBlockSize;
    std::vector<uint8_t> bytes(bitmap.descriptor.size());
    const auto read = image->readAt(at, bytes);
    if (!read) {
        return read.error();
    }
    if (bytes != bitmap.descriptor) {
        return Error{ErrorKind::Changed, "the UDF space bitmap at LBA " +
                                             std::to_string(bitmap.sector) +
                                             " no longer holds what was read; nothing was written"};
    }
    for (uint32_t block = taken.block; block < taken.block + taken.count; ++block) {
        bytes[kBitsAt + block / 8] &= static_cast<uint8_t>(~(1u << (block % 8)));
    }
    sealUdfTag(bytes);
    const size_t first = kBitsAt + taken.block / 8;
    const size_t last = kBitsAt + (taken.block + taken.count + 7) / 8;
    auto written = image->writeAt(at, std::span(bytes).first(kUdfTagSize));
    if (written) {
        written = image->writeAt(at + first, std::span(bytes).subspan(first, last - first));
    }
    auto integrity = written ? lastUdfIntegrity(*image, twin.partitionPlaces.integritySequence)
                             : Result<std::optional<UdfSectorWrite>>(written.error());
    if (!integrity) {
        return integrity.error();
    }
    if (*integrity) {
        auto& descriptor = (*integrity)->bytes;
        const uint64_t partitions = readLe32(descriptor, kUdfIntegrityPartitionsAt);
        const uint64_t entry = kUdfIntegrityTablesAt + 4 * uint64_t{twin.partitionPlaces.mapIndex};
        const uint32_t free =
            twin.partitionPlaces.mapIndex < partitions && entry + 4 <= kUdfBlockSize
                ? readLe32(descriptor, entry)
                : kUnknownFreeSpace;
        if (free != kUnknownFreeSpace) {
            writeLe32(descriptor, entry, free - std::min(free, taken.count));
            sealUdfTag(descriptor);
            written = image->writeAt(uint64_t{(*integrity)->sector} * kUdfBlockSize, descriptor);
        }
    }
    return written ? image->finish() : written;
}

}  // namespace kestrel
