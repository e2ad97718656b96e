#include "ops/UdfTwin.h"

#include <algorithm>

#include "image/ByteOrder.h"
#include "image/NameText.h"
#include "image/UdfTag.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

constexpr size_t kAdBlockAt = 4;  // behind the length, in short and long ones
// The longest extent a descriptor records in whole blocks: 1 GiB less one block, as makers
// split large files.
constexpr uint64_t kLargestAdLength = (uint64_t{1} << 30) - kUdfBlockSize;
constexpr size_t kObjectSizeAt = 64;  // an extended entry's, which a plain file's length is

// Where an entry keeps the length of its extended attributes, then of its descriptors.
size_t attributesLengthAt(const UdfFileEntry& entry) {
    return entry.extended ? 208 : 168;
}

size_t adSize(const UdfFileEntry& entry) {
    return entry.allocation == UdfAllocation::Long ? 16 : 8;
}

// The bytes of the entry's extents when they are recorded ones of one partition, each
// beginning where the one before ends; nothing otherwise.
std::optional<uint64_t> runLength(const UdfFileEntry& entry) {
    uint64_t total = 0;
    for (size_t i = 0; i < entry.extents.size(); ++i) {
        const UdfExtent& extent = entry.extents[i];
        if (extent.type != UdfExtentType::Recorded) {
            return std::nullopt;
        }
        if (i > 0) {
            const UdfExtent& before = entry.extents[i - 1];
            if (before.length % kUdfBlockSize != 0 || extent.partition != before.partition ||
                uint64_t{extent.block} != before.block + before.length / kUdfBlockSize) {
                return std::nullopt;
            }
        }
        total += extent.length;
    }
    return total;
}

// The lengths of the descriptors that record `length` bytes: one for each gigabyte or less,
// and one of no bytes for an empty file, which keeps its block.
std::vector<uint32_t> adLengths(uint64_t length) {
    std::vector<uint32_t> lengths;
    do {
        lengths.push_back(static_cast<uint32_t>(std::min(length, kLargestAdLength)));
        length -= lengths.back();
    } while (length > 0);
    return lengths;
}

// The twin's extents once its data is `lengths` from `lba`.
std::vector<UdfExtent> movedExtents(const UdfTwin& twin, uint32_t lba,
                                    const std::vector<uint32_t>& lengths) {
    const UdfExtent& first = twin.entry.extents.front();
    std::vector<UdfExtent> extents;
    uint32_t block = lba - twin.partitionStart;
    for (size_t i = 0; i < lengths.size(); ++i) {
        extents.push_back({UdfExtentType::Recorded, lengths[i], twin.partitionStart + block, block,
                           first.partition, first.descriptorOffset + i * adSize(twin.entry)});
        block += lengths[i] / kUdfBlockSize;
    }
    return extents;
}

std::vector<uint32_t> lengthsOf(const std::vector<UdfExtent>& extents) {
    std::vector<uint32_t> lengths;
    for (const auto& extent : extents) {
        lengths.push_back(extent.length);
    }
    return lengths;
}

std::vector<uint32_t> newLengths(const UdfTwin& twin, std::optional<uint64_t> size) {
    return size ? adLengths(*size) : lengthsOf(twin.entry.extents);
}

Error changed(const UdfFileEntry& entry) {
    return Error{ErrorKind::Changed, "its UDF entry at LBA " + std::to_string(entry.sector) +
                                         " no longer holds what was read"};
}

// Makes the entry's sector, `bytes`, describe `extents` and, when given, hold the lengths
// `size`; refused when it no longer holds what was read or has no room for them.
Result<void> rewriteEntry(std::span<uint8_t> bytes, const UdfFileEntry& entry,
                          const std::vector<UdfExtent>& extents, std::optional<uint64_t> size) {
    const uint64_t start = uint64_t{entry.sector} * kUdfBlockSize;
    const auto tag = checkUdfTag(bytes, entry.block);
    const size_t attributesAt = attributesLengthAt(entry);
    const size_t each = adSize(entry);
    // Descriptors continued in another extent are refused before this: the entry's own sector
    // holds every one that is rewritten.
    const uint64_t areaAt = attributesAt + 8 + uint64_t{readLe32(bytes, attributesAt)};
    const uint64_t oldLength = readLe32(bytes, attributesAt + 4);
    const uint64_t oldUsed = entry.extents.size() * each;
    const size_t infoAt = entry.informationLengthOffset - start;
    if (!tag || areaAt + oldLength > kUdfBlockSize || oldLength < oldUsed ||
        start + areaAt != entry.extents.front().descriptorOffset ||
        entry.informationLengthOffset < start || infoAt + 8 > kUdfBlockSize ||
        entry.blocksRecordedOffset < start + kUdfTagSize ||
        entry.blocksRecordedOffset + 8 > start + kUdfBlockSize ||
        readLe64(bytes, infoAt) != entry.informationLength) {
        return changed(entry);
    }
    for (size_t i = 0; i < entry.extents.size(); ++i) {
        const size_t at = areaAt + i * each;
        if ((readLe32(bytes, at) & kUdfExtentLengthMask) != entry.extents[i].length ||
            readLe32(bytes, at + kAdBlockAt) != entry.extents[i].block) {
            return changed(entry);
        }
    }
    // What follows the data's descriptors (a terminating one of no length) stays behind them.
    const uint64_t newLength = oldLength - oldUsed + extents.size() * each;
    if (areaAt + newLength > kUdfBlockSize) {
        return Error{ErrorKind::InvalidInput, "its UDF entry has no room for the " +
                                                  std::to_string(extents.size()) +
                                                  " allocation descriptors its data needs"};
    }
    const std::vector<uint8_t> first(bytes.begin() + static_cast<ptrdiff_t>(areaAt),
                                     bytes.begin() + static_cast<ptrdiff_t>(areaAt + each));
    const std::vector<uint8_t> rest(bytes.begin() + static_cast<ptrdiff_t>(areaAt + oldUsed),
                                    bytes.begin() + static_cast<ptrdiff_t>(areaAt + oldLength));
    std::fill(bytes.begin() + static_cast<ptrdiff_t>(areaAt),
              bytes.begin() + static_cast<ptrdiff_t>(areaAt + std::max(oldLength, newLength)), 0);
    const uint32_t type = readLe32(first, 0) & ~kUdfExtentLengthMask;
    for (size_t i = 0; i < extents.size(); ++i) {
        const size_t at = areaAt + i * each;
        // A long descriptor keeps its partition reference and implementation use.
        std::copy(first.begin(), first.end(), bytes.begin() + static_cast<ptrdiff_t>(at));
        writeLe32(bytes, at, type | extents[i].length);
        writeLe32(bytes, at + kAdBlockAt, extents[i].block);
    }
    std::ranges::copy(rest, bytes.begin() + static_cast<ptrdiff_t>(areaAt + extents.size() * each));
    writeLe32(bytes, attributesAt + 4, static_cast<uint32_t>(newLength));
    const uint64_t crcLength = readLe16(bytes, kUdfTagCrcLengthAt) + newLength - oldLength;
    writeLe16(bytes, kUdfTagCrcLengthAt, static_cast<uint16_t>(crcLength));
    if (size) {
        if (entry.extended && readLe64(bytes, kObjectSizeAt) == entry.informationLength) {
            writeLe64(bytes, kObjectSizeAt, *size);
        }
        writeLe64(bytes, infoAt, *size);
        writeLe64(bytes, entry.blocksRecordedOffset - start,
                  (*size + kUdfBlockSize - 1) / kUdfBlockSize);
    }
    sealUdfTag(bytes);
    return {};
}

}  // namespace

Result<UdfTwin> udfTwinOf(const UdfVolume& volume, const UdfFileEntry& entry) {
    if (entry.extents.empty()) {
        return Error{ErrorKind::InvalidInput,
                     entry.allocation == UdfAllocation::Embedded
                         ? "its data is held inside its UDF file entry, which has no extent to "
                           "point elsewhere"
                         : "its UDF file entry records no extent to point elsewhere"};
    }
    const UdfExtent& data = entry.extents.front();
    const auto& maps = volume.descriptors.maps;
    if (entry.allocation == UdfAllocation::Extended || data.partition >= maps.size() ||
        maps[data.partition].kind != UdfMapKind::Physical) {
        return Error{ErrorKind::InvalidInput,
                     "its UDF entry describes its data in a way Kestrel does not rewrite (an "
                     "extended descriptor, or a metadata partition)"};
    }
    const auto length = runLength(entry);
    if (!length || !entry.continuationSectors.empty() || entry.cutShort) {
        return Error{ErrorKind::InvalidInput,
                     "its UDF entry describes its data in pieces that one extent cannot replace "
                     "(apart from each other, not all recorded, or continued in another "
                     "sector)"};
    }
    const UdfPartition& partition = volume.descriptors.partitions[maps[data.partition].partition];
    const auto& descriptors = volume.descriptors;
    return UdfTwin{
        entry,
        *length,
        partition.startSector,
        partition.sectors,
        UdfPartitionPlaces{descriptors.mainSequence, descriptors.reserveSequence,
                           descriptors.integritySequence, partition.number, data.partition},
        partition.spaceBitmap,
        volume.metadata && entry.partition == volume.metadata->map
            ? udfMirrorSector(volume, entry.block)
            : std::nullopt};
}

Result<UdfView> UdfView::read(const ImageSource& image) {
    auto volume = readUdfVolume(image);
    if (!volume) {
        return volume.error();
    }
    UdfView view;
    const UdfTree tree = readUdfTree(image, *volume);
    view.volume_ = std::move(*volume);
    for (const auto& directory : tree.directories) {
        for (const auto& entry : directory.entries) {
            const auto length = runLength(entry.file);
            if (entry.directory || entry.file.extents.empty() || !length) {
                continue;
            }
            view.byData_.emplace(std::pair(entry.file.extents.front().firstSector, *length),
                                 view.files_.size());
            view.files_.push_back(entry);
        }
    }
    return view;
}

Result<UdfTwin> UdfView::twin(uint32_t lba, uint64_t length, const std::string& name) const {
    std::vector<const UdfEntry*> found;
    const auto [first, last] = byData_.equal_range(std::pair(lba, length));
    for (auto it = first; it != last; ++it) {
        found.push_back(&files_[it->second]);
    }
    if (found.size() > 1) {
        std::erase_if(found,
                      [&name](const UdfEntry* entry) { return !sameInAnyCase(entry->name, name); });
    }
    if (found.size() != 1) {
        return Error{ErrorKind::NotFound, found.empty()
                                              ? "no UDF file has its data as its one run of sectors"
                                              : "several UDF files have its data and its name"};
    }
    return udfTwinOf(volume_, found.front()->file);
}

void UdfView::update(const UdfTwin& twin, uint32_t lba, std::optional<uint64_t> size) {
    const auto [first, last] =
        byData_.equal_range(std::pair(twin.entry.extents.front().firstSector, twin.dataLength));
    for (auto it = first; it != last; ++it) {
        UdfFileEntry& entry = files_[it->second].file;
        if (entry.sector != twin.entry.sector) {
            continue;
        }
        entry.extents = movedExtents(twin, lba, newLengths(twin, size));
        if (size) {
            entry.informationLength = *size;
        }
        const size_t file = it->second;
        byData_.erase(it);
        byData_.emplace(std::pair(lba, size.value_or(twin.dataLength)), file);
        return;
    }
}

Result<void> patchUdfTwin(JournalEdit& edit, const UdfTwin& twin, uint32_t lba,
                          std::optional<uint64_t> size) {
    const uint64_t length = size.value_or(twin.dataLength);
    const uint64_t sectors = (length + kUdfBlockSize - 1) / kUdfBlockSize;
    if (lba < twin.partitionStart ||
        uint64_t{lba} + sectors > uint64_t{twin.partitionStart} + twin.partitionSectors) {
        return Error{ErrorKind::OutOfRange,
                     "LBA " + std::to_string(lba) + " lies outside the UDF partition (LBA " +
                         std::to_string(twin.partitionStart) + " to " +
                         std::to_string(uint64_t{twin.partitionStart} + twin.partitionSectors - 1) +
                         ")"};
    }
    auto image = ImageWriter::openUserData(edit);
    if (!image) {
        return image.error();
    }
    const uint64_t start = uint64_t{twin.entry.sector} * kUdfBlockSize;
    std::vector<uint8_t> bytes(kUdfBlockSize);
    const auto read = image->readAt(start, bytes);
    if (!read) {
        return read.error();
    }
    if (*read < bytes.size()) {
        return changed(twin.entry);
    }
    const std::vector<uint8_t> before = bytes;
    if (auto rewritten =
            rewriteEntry(bytes, twin.entry, movedExtents(twin, lba, newLengths(twin, size)), size);
        !rewritten) {
        return rewritten;
    }
    const auto firstChanged = std::ranges::mismatch(before, bytes).in1 - before.begin();
    const auto lastChanged =
        before.rend() -
        std::ranges::mismatch(before.rbegin(), before.rend(), bytes.rbegin(), bytes.rend()).in1;
    if (firstChanged >= lastChanged) {
        return image->finish();
    }
    const auto changedBytes = std::span(bytes).subspan(
        static_cast<size_t>(firstChanged), static_cast<size_t>(lastChanged - firstChanged));
    if (auto written = image->writeAt(start + static_cast<uint64_t>(firstChanged), changedBytes);
        !written) {
        return written;
    }
    // A mirror that already differed from the metadata file is left as it was: patching it
    // would mix two versions of the entry.
    if (twin.mirrorSector && *twin.mirrorSector != twin.entry.sector) {
        const uint64_t mirrorStart = uint64_t{*twin.mirrorSector} * kUdfBlockSize;
        std::vector<uint8_t> mirrored(kUdfBlockSize);
        const auto copied = image->readAt(mirrorStart, mirrored);
        if (!copied) {
            return copied.error();
        }
        if (mirrored == before) {
            if (auto written =
                    image->writeAt(mirrorStart + static_cast<uint64_t>(firstChanged), changedBytes);
                !written) {
                return written;
            }
        }
    }
    return image->finish();
}

}  // namespace kestrel
