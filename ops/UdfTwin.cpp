#include "ops/UdfTwin.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "image/ByteOrder.h"
#include "image/UdfTag.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

constexpr size_t kAdPosition = 4;  // the block, behind the length, in short and long ones
constexpr uint32_t kAdLengthMask = 0x3FFFFFFF;
constexpr size_t kObjectSizeAt = 64;  // an extended entry's, which a plain file's length is

uint64_t keyOf(uint32_t lba, uint32_t length) {
    return uint64_t{lba} << 32 | length;
}

bool sameInAnyCase(const std::string& a, const std::string& b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
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
    const UdfPartition& partition = volume.descriptors.partitions[maps[data.partition].partition];
    const auto& descriptors = volume.descriptors;
    return UdfTwin{
        entry, partition.startSector, partition.sectors,
        UdfPartitionPlaces{descriptors.mainSequence, descriptors.reserveSequence,
                           descriptors.integritySequence, partition.number, data.partition}};
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
            const auto& extents = entry.file.extents;
            if (entry.directory || extents.size() != 1 ||
                extents.front().type != UdfExtentType::Recorded) {
                continue;
            }
            view.byExtent_.emplace(keyOf(extents.front().firstSector, extents.front().length),
                                   view.files_.size());
            view.files_.push_back(entry);
        }
    }
    return view;
}

Result<UdfTwin> UdfView::twin(const Extent& extent, const std::string& name) const {
    std::vector<const UdfEntry*> found;
    const auto [first, last] = byExtent_.equal_range(keyOf(extent.lba, extent.length));
    for (auto it = first; it != last; ++it) {
        found.push_back(&files_[it->second]);
    }
    if (found.size() > 1) {
        std::erase_if(found,
                      [&name](const UdfEntry* entry) { return !sameInAnyCase(entry->name, name); });
    }
    if (found.size() != 1) {
        return Error{ErrorKind::NotFound, found.empty()
                                              ? "no UDF file has its data as its one extent"
                                              : "several UDF files have its data and its name"};
    }
    return udfTwinOf(volume_, found.front()->file);
}

void UdfView::update(const UdfTwin& twin, uint32_t lba, std::optional<uint32_t> size) {
    const UdfExtent& old = twin.entry.extents.front();
    const auto [first, last] = byExtent_.equal_range(keyOf(old.firstSector, old.length));
    for (auto it = first; it != last; ++it) {
        UdfFileEntry& entry = files_[it->second].file;
        if (entry.sector != twin.entry.sector) {
            continue;
        }
        UdfExtent& data = entry.extents.front();
        data.block = lba - twin.partitionStart;
        data.firstSector = lba;
        if (size) {
            data.length = *size;
            entry.informationLength = *size;
        }
        const size_t file = it->second;
        byExtent_.erase(it);
        byExtent_.emplace(keyOf(data.firstSector, data.length), file);
        return;
    }
}

Result<void> patchUdfTwin(JournalEdit& edit, const UdfTwin& twin, uint32_t lba,
                          std::optional<uint32_t> size) {
    const UdfFileEntry& entry = twin.entry;
    const UdfExtent& data = entry.extents.front();
    const uint32_t length = size.value_or(data.length);
    const uint64_t sectors = (uint64_t{length} + kUdfBlockSize - 1) / kUdfBlockSize;
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
    const uint64_t start = uint64_t{entry.sector} * kUdfBlockSize;
    std::vector<uint8_t> bytes(kUdfBlockSize);
    const auto read = image->readAt(start, bytes);
    if (!read) {
        return read.error();
    }
    const auto tag = *read == bytes.size() ? checkUdfTag(bytes, entry.block)
                                           : Result<UdfTagId>(Error{ErrorKind::Changed, ""});
    const std::span<uint8_t> descriptor(bytes);
    // Descriptors continued in another extent are not rewritten: the entry's own sector holds
    // everything this writes.
    const auto inEntry = [start](uint64_t offset, size_t length) {
        return offset >= start + kUdfTagSize && offset + length <= start + kUdfBlockSize;
    };
    if (!inEntry(data.descriptorOffset, kAdPosition + 4) ||
        !inEntry(entry.informationLengthOffset, 8) || !inEntry(entry.blocksRecordedOffset, 8)) {
        return Error{ErrorKind::InvalidInput,
                     "its UDF entry's allocation descriptor lies outside the entry's sector"};
    }
    const size_t ad = data.descriptorOffset - start;
    const size_t infoAt = entry.informationLengthOffset - start;
    if (!tag || (readLe32(descriptor, ad) & kAdLengthMask) != data.length ||
        readLe32(descriptor, ad + kAdPosition) != data.block ||
        readLe64(descriptor, infoAt) != entry.informationLength) {
        return Error{ErrorKind::Changed, "its UDF entry at LBA " + std::to_string(entry.sector) +
                                             " no longer holds what was read"};
    }
    const std::vector<uint8_t> before = bytes;
    writeLe32(descriptor, ad + kAdPosition, lba - twin.partitionStart);
    if (size) {
        const uint32_t type = readLe32(descriptor, ad) & ~kAdLengthMask;
        writeLe32(descriptor, ad, type | *size);
        if (entry.extended && readLe64(descriptor, kObjectSizeAt) == entry.informationLength) {
            writeLe64(descriptor, kObjectSizeAt, *size);
        }
        writeLe64(descriptor, infoAt, *size);
        writeLe64(descriptor, entry.blocksRecordedOffset - start, sectors);
    }
    sealUdfTag(descriptor);
    const auto firstChanged = std::ranges::mismatch(before, bytes).in1 - before.begin();
    const auto lastChanged =
        before.rend() -
        std::ranges::mismatch(before.rbegin(), before.rend(), bytes.rbegin(), bytes.rend()).in1;
    if (firstChanged < lastChanged) {
        const auto changed = descriptor.subspan(static_cast<size_t>(firstChanged),
                                                static_cast<size_t>(lastChanged - firstChanged));
        if (auto written = image->writeAt(start + static_cast<uint64_t>(firstChanged), changed);
            !written) {
            return written;
        }
    }
    return image->finish();
}

}  // namespace kestrel
