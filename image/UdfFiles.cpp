#include "image/UdfFiles.h"

#include <algorithm>

#include "image/ByteOrder.h"
#include "image/UdfTag.h"

namespace kestrel {
namespace {

constexpr size_t kFileTypeAt = 27;
constexpr size_t kIcbFlagsAt = 34;
constexpr size_t kIndirectIcbAt = 36;
constexpr size_t kInformationLengthAt = 56;

struct EntryLayout {
    size_t blocksRecordedAt;
    size_t modifiedAt;
    size_t extendedAttributesLengthAt;  // the descriptors' length follows it
    size_t descriptorsAt;
};
constexpr EntryLayout kFileEntry{64, 84, 168, 176};
constexpr EntryLayout kExtendedFileEntry{72, 92, 208, 216};

constexpr size_t kAllocationExtentLengthAt = 20;
constexpr size_t kAllocationExtentDescriptorsAt = 24;

constexpr unsigned kContinuationType = 3;
// Indirect entries and continuation extents are bounded so that a loop of them ends.
constexpr unsigned kMaxIndirections = 8;
constexpr unsigned kMaxContinuations = 1024;
// A directory larger than this is not walked: 64 MiB holds over a million identifiers.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{64} << 20;

constexpr size_t kIdentifierFixedSize = 38;

Error corrupt(const std::string& message) {
    return Error{ErrorKind::CorruptImage, message};
}

std::string blockText(uint16_t partition, uint32_t block) {
    return "block " + std::to_string(block) + " of partition reference " +
           std::to_string(partition);
}

size_t descriptorSize(UdfAllocation kind) {
    switch (kind) {
        case UdfAllocation::Short:
            return 8;
        case UdfAllocation::Long:
            return 16;
        default:
            return 20;
    }
}

// One allocation descriptor, the type bits of its length put aside.
struct RawDescriptor {
    unsigned type;
    uint32_t length;
    uint32_t block;
    uint16_t partition;
};

RawDescriptor parseDescriptor(std::span<const uint8_t> bytes, UdfAllocation kind,
                              uint16_t ownPartition) {
    const uint32_t length = readLe32(bytes, 0);
    RawDescriptor raw{length >> 30, length & kUdfExtentLengthMask, 0, ownPartition};
    switch (kind) {
        case UdfAllocation::Short:
            raw.block = readLe32(bytes, 4);
            break;
        case UdfAllocation::Long:
            raw.block = readLe32(bytes, 4);
            raw.partition = readLe16(bytes, 8);
            break;
        default:
            raw.block = readLe32(bytes, 12);
            raw.partition = readLe16(bytes, 16);
            break;
    }
    return raw;
}

// The descriptors of `area`, at image offset `offset`, then of each continuation extent;
// a damaged continuation keeps the extents read before it.
Result<void> readExtents(const ImageSource& image, const UdfAddressing& addressing,
                         std::vector<uint8_t> area, uint64_t offset, UdfFileEntry& entry,
                         std::set<uint32_t>* continuations) {
    const size_t size = descriptorSize(entry.allocation);
    unsigned hops = 0;
    for (size_t at = 0; at + size <= area.size();) {
        const auto raw =
            parseDescriptor(std::span(area).subspan(at, size), entry.allocation, entry.partition);
        if (raw.length == 0) {
            break;
        }
        if (raw.type == kContinuationType) {
            if (++hops > kMaxContinuations) {
                entry.cutShort = "its allocation descriptors continue past " +
                                 std::to_string(kMaxContinuations) + " extents";
                break;
            }
            auto located = addressing.locate(raw.partition, raw.block);
            if (located && continuations && !continuations->insert(located->sector).second) {
                entry.cutShort = "its allocation descriptors continue in sector " +
                                 std::to_string(located->sector) + ", read before";
                break;
            }
            auto bytes = located ? readUdfBlocks(image, located->sector)
                                 : Result<std::vector<uint8_t>>(located.error());
            auto id = bytes ? checkUdfTag(*bytes, raw.block) : Result<UdfTagId>(bytes.error());
            const uint32_t length = bytes ? readLe32(*bytes, kAllocationExtentLengthAt) : 0;
            if (id && *id == UdfTagId::AllocationExtent &&
                length > kUdfBlockSize - kAllocationExtentDescriptorsAt) {
                id = corrupt("its descriptors' length of " + std::to_string(length) +
                             " bytes does not fit in its block");
            } else if (id && *id != UdfTagId::AllocationExtent) {
                id = corrupt("it is no allocation extent descriptor");
            }
            if (!id) {
                entry.cutShort = "the continuation of its allocation descriptors at " +
                                 blockText(raw.partition, raw.block) +
                                 " is damaged: " + id.error().message;
                break;
            }
            entry.continuationSectors.push_back(located->sector);
            const auto first = bytes->begin() + kAllocationExtentDescriptorsAt;
            area.assign(first, first + length);
            offset = uint64_t{located->sector} * kUdfBlockSize + kAllocationExtentDescriptorsAt;
            at = 0;
            continue;
        }
        UdfExtent extent{static_cast<UdfExtentType>(raw.type),
                         raw.length,
                         0,
                         raw.block,
                         raw.partition,
                         offset + at};
        if (extent.type != UdfExtentType::NotAllocated) {
            const uint64_t blocks = (uint64_t{raw.length} + kUdfBlockSize - 1) / kUdfBlockSize;
            if (auto inside = addressing.checkRange(raw.partition, raw.block, blocks); !inside) {
                return corrupt("its extent at " + blockText(raw.partition, raw.block) +
                               " is damaged: " + inside.error().message);
            }
            extent.firstSector = addressing.locate(raw.partition, raw.block)->sector;
        }
        entry.extents.push_back(extent);
        at += size;
    }
    return {};
}

Result<UdfFileEntry> parseEntry(const ImageSource& image, const UdfAddressing& addressing,
                                const std::vector<uint8_t>& bytes, UdfTagId id,
                                const UdfLongAd& icb, uint32_t sector,
                                std::set<uint32_t>* continuations) {
    const std::span<const uint8_t> view(bytes);
    const bool extended = id == UdfTagId::ExtendedFileEntry;
    const auto& layout = extended ? kExtendedFileEntry : kFileEntry;
    const uint32_t attributesLength = readLe32(view, layout.extendedAttributesLengthAt);
    const uint32_t descriptorsLength = readLe32(view, layout.extendedAttributesLengthAt + 4);
    if (uint64_t{attributesLength} + descriptorsLength > kUdfBlockSize - layout.descriptorsAt) {
        return corrupt("its extended attributes and allocation descriptors (" +
                       std::to_string(attributesLength) + " and " +
                       std::to_string(descriptorsLength) + " bytes) do not fit in its block");
    }
    UdfFileEntry entry;
    entry.sector = sector;
    entry.block = icb.block;
    entry.partition = icb.partition;
    entry.extended = extended;
    entry.descriptorLength =
        static_cast<uint32_t>(layout.descriptorsAt + attributesLength + descriptorsLength);
    entry.fileType = view[kFileTypeAt];
    const uint64_t base = uint64_t{sector} * kUdfBlockSize;
    entry.informationLength = readLe64(view, kInformationLengthAt);
    entry.informationLengthOffset = base + kInformationLengthAt;
    entry.blocksRecordedOffset = base + layout.blocksRecordedAt;
    entry.modified = readUdfTimestamp(view.subspan(layout.modifiedAt).first<kUdfTimestampSize>());
    const size_t descriptorsAt = layout.descriptorsAt + attributesLength;
    const unsigned kind = readLe16(view, kIcbFlagsAt) & 7;
    if (kind > 3) {
        return corrupt("its allocation descriptors are of unknown type " + std::to_string(kind));
    }
    entry.allocation = static_cast<UdfAllocation>(kind);
    if (entry.allocation == UdfAllocation::Embedded) {
        if (entry.informationLength > descriptorsLength) {
            return corrupt("its information length of " + std::to_string(entry.informationLength) +
                           " bytes is more than the " + std::to_string(descriptorsLength) +
                           " bytes embedded in it");
        }
        entry.embeddedOffset = base + descriptorsAt;
        return entry;
    }
    const auto first = bytes.begin() + static_cast<std::ptrdiff_t>(descriptorsAt);
    auto extents = readExtents(image, addressing, {first, first + descriptorsLength},
                               base + descriptorsAt, entry, continuations);
    if (!extents) {
        return extents.error();
    }
    return entry;
}

}  // namespace

Result<UdfFileEntry> readUdfFileEntry(const ImageSource& image, const UdfAddressing& addressing,
                                      const UdfLongAd& icb, std::set<uint32_t>* continuations) {
    UdfLongAd at = icb;
    for (unsigned hops = 0; hops <= kMaxIndirections; ++hops) {
        auto located = addressing.locate(at.partition, at.block);
        if (!located) {
            return located.error();
        }
        auto bytes = readUdfBlocks(image, located->sector);
        if (!bytes) {
            return bytes.error();
        }
        auto id = checkUdfTag(*bytes, at.block);
        if (!id) {
            return corrupt("the file entry at sector " + std::to_string(located->sector) +
                           " is damaged: " + id.error().message);
        }
        if (*id == UdfTagId::IndirectEntry) {
            at = {readLe32(*bytes, kIndirectIcbAt), readLe32(*bytes, kIndirectIcbAt + 4),
                  readLe16(*bytes, kIndirectIcbAt + 8)};
            continue;
        }
        if (*id != UdfTagId::FileEntry && *id != UdfTagId::ExtendedFileEntry) {
            return corrupt("sector " + std::to_string(located->sector) +
                           " holds a descriptor of type " +
                           std::to_string(static_cast<unsigned>(*id)) + ", not a file entry");
        }
        auto entry = parseEntry(image, addressing, *bytes, *id, at, located->sector, continuations);
        if (!entry) {
            return corrupt("the file entry at sector " + std::to_string(located->sector) +
                           " is damaged: " + entry.error().message);
        }
        return entry;
    }
    return corrupt("the ICB at " + blockText(icb.partition, icb.block) +
                   " leads through more than " + std::to_string(kMaxIndirections) +
                   " indirect entries");
}

std::vector<UdfAddressing::Located> udfExtentRuns(const UdfAddressing& addressing,
                                                  const UdfExtent& extent) {
    std::vector<UdfAddressing::Located> runs;
    if (extent.type == UdfExtentType::NotAllocated) {
        return runs;
    }
    const uint64_t blocks = (uint64_t{extent.length} + kUdfBlockSize - 1) / kUdfBlockSize;
    for (uint64_t placed = 0; placed < blocks && extent.block + placed <= UINT32_MAX;) {
        auto located =
            addressing.locate(extent.partition, static_cast<uint32_t>(extent.block + placed));
        if (!located || located->blocks == 0) {
            break;
        }
        const uint64_t take = std::min<uint64_t>(located->blocks, blocks - placed);
        runs.push_back({located->sector, static_cast<uint32_t>(take)});
        placed += take;
    }
    return runs;
}

namespace {

// A directory's data, and for each of its blocks the logical block it was read from, which
// every identifier's tag records as its location.
struct DirectoryData {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> blocks;   // of each 2048 bytes read, in order
    std::vector<uint64_t> offsets;  // in the image, of each 2048 bytes read
};

Result<void> readRecorded(const ImageSource& image, const UdfAddressing& addressing,
                          const UdfExtent& extent, uint64_t wanted, DirectoryData& data) {
    uint64_t read = 0;
    while (read < wanted) {
        const auto block = static_cast<uint32_t>(extent.block + read / kUdfBlockSize);
        auto located = addressing.locate(extent.partition, block);
        if (!located) {
            return located.error();
        }
        const uint64_t count = std::min<uint64_t>(
            located->blocks, (wanted - read + kUdfBlockSize - 1) / kUdfBlockSize);
        auto bytes = readUdfBlocks(image, located->sector, static_cast<uint32_t>(count));
        if (!bytes) {
            return bytes.error();
        }
        const uint64_t take = std::min<uint64_t>(bytes->size(), wanted - read);
        data.bytes.insert(data.bytes.end(), bytes->begin(),
                          bytes->begin() + static_cast<std::ptrdiff_t>(take));
        for (uint64_t i = 0; i < count; ++i) {
            data.blocks.push_back(static_cast<uint32_t>(block + i));
            data.offsets.push_back((uint64_t{located->sector} + i) * kUdfBlockSize);
        }
        read += take;
    }
    return {};
}

Result<DirectoryData> readDirectoryData(const ImageSource& image, const UdfAddressing& addressing,
                                        const UdfFileEntry& directory) {
    DirectoryData data;
    if (directory.informationLength > kMaxDirectoryBytes) {
        return corrupt("its information length of " + std::to_string(directory.informationLength) +
                       " bytes is more than Kestrel reads for a directory");
    }
    if (directory.allocation == UdfAllocation::Embedded) {
        data.bytes.resize(directory.informationLength);
        auto read = image.readAt(directory.embeddedOffset, data.bytes);
        if (!read) {
            return read.error();
        }
        data.blocks.push_back(directory.block);
        data.offsets.push_back(directory.embeddedOffset);
        return data;
    }
    uint64_t left = directory.informationLength;
    for (const auto& extent : directory.extents) {
        if (left == 0) {
            break;
        }
        // Identifiers are found by their block, so an unrecorded extent, or one of part of a
        // block before the end, leaves the rest of the data unplaceable.
        if (extent.type != UdfExtentType::Recorded ||
            (extent.length % kUdfBlockSize != 0 && left > extent.length)) {
            return corrupt(
                "its data has an extent that is not recorded or not whole blocks "
                "before its end");
        }
        const uint64_t wanted = std::min<uint64_t>(extent.length, left);
        if (auto read = readRecorded(image, addressing, extent, wanted, data); !read) {
            return read.error();
        }
        left -= wanted;
    }
    if (left != 0) {
        return corrupt("its extents hold " + std::to_string(data.bytes.size()) + " of its " +
                       std::to_string(directory.informationLength) + " bytes");
    }
    return data;
}

}  // namespace

Result<UdfIdentifiers> readUdfIdentifiers(const ImageSource& image, const UdfAddressing& addressing,
                                          const UdfFileEntry& directory) {
    auto data = readDirectoryData(image, addressing, directory);
    if (!data) {
        return data.error();
    }
    const std::span<const uint8_t> bytes(data->bytes);
    const bool embedded = directory.allocation == UdfAllocation::Embedded;
    UdfIdentifiers result;
    for (const uint64_t offset : data->offsets) {
        result.sectors.push_back(static_cast<uint32_t>(offset / kUdfBlockSize));
    }
    size_t at = 0;
    while (at + kIdentifierFixedSize <= bytes.size()) {
        const size_t piece = embedded ? 0 : at / kUdfBlockSize;
        const uint64_t offset = data->offsets[piece] + (embedded ? at : at % kUdfBlockSize);
        const uint8_t nameLength = bytes[at + 19];
        const uint16_t useLength = readLe16(bytes, at + 36);
        const size_t length = kIdentifierFixedSize + useLength + nameLength;
        if (length > bytes.size() - at) {
            result.stopped = "the identifier at byte " + std::to_string(offset) +
                             " reaches past the directory's end";
            break;
        }
        // The CRC length of an identifier counts its padding to a multiple of four bytes.
        const size_t padded = std::min((length + 3) & ~size_t{3}, bytes.size() - at);
        auto id = checkUdfTag(bytes.subspan(at, padded), data->blocks[piece]);
        if (id && *id != UdfTagId::FileIdentifier) {
            id = corrupt("it is no file identifier descriptor");
        }
        if (!id) {
            result.stopped = "the identifier at byte " + std::to_string(offset) +
                             " is damaged: " + id.error().message;
            break;
        }
        UdfIdentifier identifier;
        identifier.characteristics = bytes[at + 18];
        identifier.icb = {readLe32(bytes, at + 20) & kUdfExtentLengthMask, readLe32(bytes, at + 24),
                          readLe16(bytes, at + 28)};
        identifier.name =
            udfCharacters(bytes.subspan(at + kIdentifierFixedSize + useLength, nameLength));
        identifier.offset = offset;
        result.identifiers.push_back(std::move(identifier));
        at += padded;
    }
    return result;
}

}  // namespace kestrel
