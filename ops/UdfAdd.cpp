#include "ops/UdfAdd.h"

#include <algorithm>
#include <array>

#include "image/ByteOrder.h"
#include "image/NameText.h"
#include "image/UdfTag.h"

namespace kestrel {

namespace {

constexpr uint16_t kFileType = 5;
constexpr uint16_t kFourStrategy = 4;
constexpr uint32_t kNoOwner = 0xFFFFFFFF;
// Read for everyone; write, attribute change and delete for the owner.
constexpr uint32_t kPermissions = 0x7884;
constexpr size_t kShortAdSize = 8;
constexpr uint64_t kLargestAdLength = (uint64_t{1} << 30) - kUdfBlockSize;
constexpr size_t kEntryAttributesAt = 168;  // of a file entry, its descriptors' length behind
constexpr size_t kEntryDescriptorsAt = 176;
constexpr size_t kIdentifierFixedSize = 38;
constexpr uint8_t kCompressed8 = 8;
constexpr uint8_t kCompressed16 = 16;

// Why the UDF file system cannot take the file: on a bridge image the file is still added to
// the ISO 9660 trees, so only an image of UDF alone says that nothing was written.
Error notInUdf(const std::string& why) {
    return Error{ErrorKind::InvalidInput, why};
}

Error refused(const std::string& why) {
    return notInUdf(why + "; nothing was written");
}

// The OSTA compressed unicode of a UTF-8 name: one byte a character where each fits in one,
// else two; nothing for a name that is not UTF-8 or holds a character beyond U+FFFF.
std::optional<std::vector<uint8_t>> compressedUnicode(const std::string& name) {
    std::vector<uint32_t> characters;
    for (size_t at = 0; at < name.size();) {
        const auto lead = static_cast<uint8_t>(name[at]);
        const size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2 : lead >> 4 == 14 ? 3 : 0;
        if (length == 0 || at + length > name.size()) {
            return std::nullopt;
        }
        uint32_t character = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (size_t i = 1; i < length; ++i) {
            const auto next = static_cast<uint8_t>(name[at + i]);
            if (next >> 6 != 2) {
                return std::nullopt;
            }
            character = character << 6 | (next & 0x3F);
        }
        characters.push_back(character);
        at += length;
    }
    const bool narrow = std::ranges::all_of(characters, [](uint32_t c) { return c <= 0xFF; });
    std::vector<uint8_t> bytes{narrow ? kCompressed8 : kCompressed16};
    for (const uint32_t character : characters) {
        if (!narrow) {
            bytes.push_back(static_cast<uint8_t>(character >> 8));
        }
        bytes.push_back(static_cast<uint8_t>(character));
    }
    return bytes;
}

void writeTimestamp(std::span<uint8_t> at, std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    constexpr uint16_t kLocalTimeInUtc = 0x1000;
    writeLe16(at, 0, kLocalTimeInUtc);
    writeLe16(at, 2, static_cast<uint16_t>(utc.tm_year + 1900));
    at[4] = static_cast<uint8_t>(utc.tm_mon + 1);
    at[5] = static_cast<uint8_t>(utc.tm_mday);
    at[6] = static_cast<uint8_t>(utc.tm_hour);
    at[7] = static_cast<uint8_t>(utc.tm_min);
    at[8] = static_cast<uint8_t>(utc.tm_sec);
}

// A file entry of block `block` for `size` bytes from block `dataBlock`, its tag like `model`'s.
std::vector<uint8_t> newFileEntry(std::span<const uint8_t> model, uint32_t block,
                                  uint32_t dataBlock, uint64_t size, uint64_t uniqueId,
                                  std::time_t modified) {
    std::vector<uint8_t> entry(kUdfBlockSize);
    writeLe16(entry, 0, static_cast<uint16_t>(UdfTagId::FileEntry));
    std::copy(model.begin() + 2, model.begin() + 4, entry.begin() + 2);  // its version
    std::copy(model.begin() + 6, model.begin() + 8, entry.begin() + 6);  // its serial number
    writeLe32(entry, kUdfTagLocationAt, block);
    writeLe16(entry, 20, kFourStrategy);
    writeLe16(entry, 24, 1);  // entries at most
    entry[27] = kFileType;
    writeLe32(entry, 36, kNoOwner);
    writeLe32(entry, 40, kNoOwner);
    writeLe32(entry, 44, kPermissions);
    writeLe16(entry, 48, 1);  // its link count
    writeLe64(entry, 56, size);
    writeLe64(entry, 64, (size + kUdfBlockSize - 1) / kUdfBlockSize);
    for (const size_t at : {72, 84, 96}) {
        writeTimestamp(std::span(entry).subspan(at, kUdfTimestampSize), modified);
    }
    writeLe32(entry, 108, 1);  // its checkpoint
    const std::string_view implementation = "*Kestrel";
    std::ranges::copy(implementation, entry.begin() + 129);
    writeLe64(entry, 160, uniqueId);
    size_t descriptors = 0;
    for (uint64_t done = 0; done < size; done += kLargestAdLength) {
        const size_t at = kEntryDescriptorsAt + descriptors;
        writeLe32(entry, at, static_cast<uint32_t>(std::min(size - done, kLargestAdLength)));
        writeLe32(entry, at + 4, dataBlock + static_cast<uint32_t>(done / kUdfBlockSize));
        descriptors += kShortAdSize;
    }
    writeLe32(entry, kEntryAttributesAt + 4, static_cast<uint32_t>(descriptors));
    writeLe16(entry, kUdfTagCrcLengthAt,
              static_cast<uint16_t>(kEntryDescriptorsAt + descriptors - kUdfTagSize));
    sealUdfTag(entry);
    return entry;
}

// A file identifier naming `name` (compressed unicode), whose entry is block `entryBlock` of
// partition reference `partition`, lying in block `block`.
std::vector<uint8_t> newIdentifier(const std::vector<uint8_t>& name, uint32_t block,
                                   uint32_t entryBlock, uint16_t partition, uint64_t uniqueId,
                                   std::span<const uint8_t> model) {
    std::vector<uint8_t> identifier((kIdentifierFixedSize + name.size() + 3) & ~size_t{3});
    writeLe16(identifier, 0, static_cast<uint16_t>(UdfTagId::FileIdentifier));
    std::copy(model.begin() + 2, model.begin() + 4, identifier.begin() + 2);
    std::copy(model.begin() + 6, model.begin() + 8, identifier.begin() + 6);
    writeLe32(identifier, kUdfTagLocationAt, block);
    writeLe16(identifier, 16, 1);  // its file version
    identifier[19] = static_cast<uint8_t>(name.size());
    writeLe32(identifier, 20, kUdfBlockSize);
    writeLe32(identifier, 24, entryBlock);
    writeLe16(identifier, 28, partition);
    writeLe32(identifier, 32, static_cast<uint32_t>(uniqueId));
    std::ranges::copy(name, identifier.begin() + kIdentifierFixedSize);
    writeLe16(identifier, kUdfTagCrcLengthAt,
              static_cast<uint16_t>(identifier.size() - kUdfTagSize));
    sealUdfTag(identifier);
    return identifier;
}

Result<DirectoryRewrite> sectorRewrite(const ImageSource& image, uint32_t sector) {
    auto bytes = readUdfBlocks(image, sector);
    if (!bytes) {
        return bytes.error();
    }
    return DirectoryRewrite{uint64_t{sector} * kUdfBlockSize, *bytes, *bytes};
}

}  // namespace

Result<UdfNewName> udfNewName(const UdfVolume& volume, const UdfDirectory& parent,
                              const std::string& name) {
    auto encoded = compressedUnicode(name);
    if (name.empty() || name.find('/') != std::string::npos || !encoded || encoded->size() > 255) {
        return notInUdf("a UDF name is 1 to 254 characters of Unicode up to U+FFFF, without \"/\"");
    }
    for (const auto& entry : parent.entries) {
        if (sameInAnyCase(entry.name, name)) {
            return notInUdf("its UDF directory already holds " + entry.name);
        }
    }
    const UdfFileEntry& owner = parent.file;
    const auto& maps = volume.descriptors.maps;
    if (owner.partition >= maps.size() || maps[owner.partition].kind != UdfMapKind::Physical ||
        owner.allocation == UdfAllocation::Extended || !owner.continuationSectors.empty() ||
        owner.cutShort || !volume.integritySector) {
        return notInUdf(
            "its directory is recorded in a way Kestrel does not add to (a metadata partition, "
            "extended or continued descriptors, or no integrity descriptor)");
    }
    // The identifier goes behind the directory's last one, in its entry or its last block.
    const bool embedded = owner.allocation == UdfAllocation::Embedded;
    uint64_t written = 0;
    for (const auto& extent : owner.extents) {
        written += extent.length;
    }
    if (!embedded && (owner.extents.empty() || written != owner.informationLength)) {
        return notInUdf("its directory's data is not one run of recorded extents");
    }
    const uint64_t identifierAt = embedded
                                      ? owner.embeddedOffset + owner.informationLength
                                      : uint64_t{owner.extents.back().firstSector} * kUdfBlockSize +
                                            owner.extents.back().length;
    const uint64_t roomEnd =
        embedded ? (uint64_t{owner.sector} + 1) * kUdfBlockSize
                 : (identifierAt + kUdfBlockSize - 1) / kUdfBlockSize * kUdfBlockSize;
    const size_t needed = (kIdentifierFixedSize + encoded->size() + 3) & ~size_t{3};
    if (identifierAt + needed > roomEnd) {
        return notInUdf("its UDF directory needs " + std::to_string(needed) +
                        " bytes, the directory has " + std::to_string(roomEnd - identifierAt) +
                        " free");
    }
    const auto& descriptors = volume.descriptors;
    const UdfPartition& partition = descriptors.partitions[maps[owner.partition].partition];
    return UdfNewName{
        &parent,
        std::move(*encoded),
        identifierAt,
        needed,
        owner.partition,
        partition.startSector,
        partition.sectors,
        UdfPartitionPlaces{descriptors.mainSequence, descriptors.reserveSequence,
                           descriptors.integritySequence, partition.number, owner.partition},
        *volume.integritySector};
}

Result<UdfAddition> udfAdditionAt(const ImageSource& image, const UdfNewName& name, uint64_t size,
                                  std::time_t modified, uint32_t entrySector,
                                  std::vector<uint8_t> entryBefore, uint32_t dataSector) {
    const UdfFileEntry& owner = name.parent->file;
    const uint64_t dataBlocks = (size + kUdfBlockSize - 1) / kUdfBlockSize;
    if (entrySector < name.partitionStart || dataSector < name.partitionStart ||
        dataBlocks > UINT32_MAX) {
        return notInUdf("its entry and data lie outside its UDF partition");
    }
    const auto uniqueId = nextUdfUniqueId(image, name.integritySector);
    auto parentEntry =
        uniqueId ? sectorRewrite(image, owner.sector) : Result<DirectoryRewrite>(uniqueId.error());
    if (!parentEntry) {
        return parentEntry.error();
    }
    const bool embedded = owner.allocation == UdfAllocation::Embedded;
    const uint64_t entryStart = uint64_t{owner.sector} * kUdfBlockSize;
    const uint32_t entryBlock = entrySector - name.partitionStart;
    const uint32_t identifierBlock =
        embedded ? owner.block
                 : owner.extents.back().block +
                       static_cast<uint32_t>(owner.extents.back().length / kUdfBlockSize);
    const auto identifier = newIdentifier(name.name, identifierBlock, entryBlock, name.partition,
                                          *uniqueId, parentEntry->before);
    // The directory's entry records the identifier's bytes: in its information length, and in
    // its last descriptor's length or, where it embeds them, its descriptors' length.
    auto& parentBytes = parentEntry->after;
    const size_t infoAt = owner.informationLengthOffset - entryStart;
    writeLe64(parentBytes, infoAt, owner.informationLength + name.identifierSize);
    const size_t lengthAt = embedded ? kEntryAttributesAt + (owner.extended ? 40 : 0) + 4
                                     : owner.extents.back().descriptorOffset - entryStart;
    writeLe32(parentBytes, lengthAt,
              readLe32(parentBytes, lengthAt) + static_cast<uint32_t>(name.identifierSize));
    if (embedded) {
        writeLe16(
            parentBytes, kUdfTagCrcLengthAt,
            static_cast<uint16_t>(readLe16(parentBytes, kUdfTagCrcLengthAt) + name.identifierSize));
        std::ranges::copy(identifier, parentBytes.begin() +
                                          static_cast<ptrdiff_t>(name.identifierAt - entryStart));
    }
    sealUdfTag(parentBytes);

    DirectoryRewrite newEntry{
        uint64_t{entrySector} * kUdfBlockSize, std::move(entryBefore),
        newFileEntry(parentEntry->before, entryBlock, dataSector - name.partitionStart, size,
                     *uniqueId, modified)};
    std::vector<DirectoryRewrite> writes{std::move(newEntry), std::move(*parentEntry)};
    if (!embedded) {
        auto block = sectorRewrite(image, static_cast<uint32_t>(name.identifierAt / kUdfBlockSize));
        if (!block) {
            return block.error();
        }
        std::ranges::copy(
            identifier,
            block->after.begin() + static_cast<ptrdiff_t>(name.identifierAt % kUdfBlockSize));
        writes.push_back(std::move(*block));
    }
    const uint32_t firstBlock = std::min(entrySector, dataSector) - name.partitionStart;
    const auto takenBlocks = static_cast<uint32_t>(dataBlocks + 1);
    return UdfAddition{{size == 0 ? PlacementKind::OwnExtent : PlacementKind::FreeBlocks,
                        dataSector, static_cast<uint32_t>(dataBlocks), 0},
                       std::move(writes),
                       std::nullopt,
                       name.places,
                       name.partitionStart,
                       name.partitionSectors,
                       {firstBlock, takenBlocks},
                       *uniqueId};
}

Result<UdfAddition> prepareUdfAddition(Session& session, DirectoryNumber directory,
                                       const std::string& name, uint64_t size,
                                       std::time_t modified) {
    const auto files = session.udfFileSystem();
    const auto found =
        files ? session.udfDirectory(directory) : Result<const UdfDirectory*>(files.error());
    if (!found) {
        return found.error();
    }
    if (!*found) {
        return refused("its directory is not one the volume lists");
    }
    const UdfVolume& volume = (*files)->volume;
    const auto newName = udfNewName(volume, **found, name);
    if (!newName) {
        return refused(newName.error().message);
    }
    const UdfPartition& partition =
        volume.descriptors.partitions[volume.descriptors.maps[newName->partition].partition];
    if (!partition.spaceBitmap) {
        return refused(
            "its UDF partition keeps no space bitmap, so no block is recorded as free "
            "for the new file");
    }
    const ImageSource& image = session.presentedSource();
    auto bitmap = readUdfSpaceBitmap(image, *partition.spaceBitmap, partition.startSector);
    const auto map =
        bitmap ? mapVolume(image, session.volume()) : Result<ExtentMap>(bitmap.error());
    if (!map) {
        return map.error();
    }
    const uint64_t dataBlocks = (size + kUdfBlockSize - 1) / kUdfBlockSize;
    if (dataBlocks + 1 > UINT32_MAX) {
        return refused("it needs more blocks than a UDF partition holds");
    }
    const auto count = static_cast<uint32_t>(dataBlocks + 1);
    const auto run = bitmap->firstFreeRun(count, *map);
    if (!run) {
        return refused("its UDF partition has no run of " + std::to_string(count) +
                       " free blocks for its entry and " + std::to_string(size) +
                       " bytes (it has " + std::to_string(bitmap->freeBlocks()) +
                       " free blocks in all)");
    }
    const uint32_t entrySector = partition.startSector + run->block;
    auto entryBefore = readUdfBlocks(image, entrySector);
    if (!entryBefore) {
        return entryBefore.error();
    }
    auto addition = udfAdditionAt(image, *newName, size, modified, entrySector,
                                  std::move(*entryBefore), entrySector + 1);
    if (!addition) {
        return addition;
    }
    addition->placement.volumeSectors = session.volume().volumeSectors;
    addition->bitmap = std::move(*bitmap);
    return addition;
}

Result<UdfNewName> udfTwinName(Session& session, DirectoryNumber directory,
                               const std::string& name) {
    const auto files = session.udfFileSystem();
    const auto parent =
        files ? session.udfDirectoryOf(directory) : Result<const UdfDirectory*>(files.error());
    if (!parent) {
        return parent.error();
    }
    if (!*parent) {
        return Error{ErrorKind::NotFound,
                     "no UDF directory is found to hold what its directory holds"};
    }
    return udfNewName((*files)->volume, **parent, name);
}

Result<UdfAddition> udfTwinAddition(const ImageSource& image, const UdfNewName& name,
                                    const Placement& placement, uint64_t size,
                                    std::time_t modified) {
    const uint32_t entrySector = placement.lba + placement.sectors - 1;
    auto addition = udfAdditionAt(image, name, size, modified, entrySector,
                                  std::vector<uint8_t>(kUdfBlockSize), placement.lba);
    if (addition) {
        addition->placement = placement;
    }
    return addition;
}

}  // namespace kestrel
