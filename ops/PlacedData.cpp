#include "ops/PlacedData.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

#include "image/ByteOrder.h"
#include "image/UdfTag.h"
#include "ops/DataRewrite.h"
#include "ops/ImageWriter.h"
#include "ops/PartitionTables.h"

namespace kestrel {

namespace {

constexpr uint64_t kSectorBytes = 2048;
constexpr uint32_t kFirstDescriptorLba = 16;
constexpr size_t kVolumeSizeAt = 80;  // both-endian, in the primary and supplementary ones
constexpr uint8_t kPrimaryDescriptor = 1;
constexpr uint8_t kSupplementaryDescriptor = 2;
constexpr uint8_t kTerminator = 255;
// A set of descriptors longer than this is damage; the walk stops there.
constexpr uint32_t kMostDescriptors = 64;

// `size` bytes from `offset` as pieces a DataPiece holds, whole sectors each but the last.
std::vector<DataPiece> piecesOf(uint64_t offset, uint64_t size) {
    constexpr uint64_t kLargestPiece = 0xFFFFF800;
    std::vector<DataPiece> pieces;
    for (uint64_t done = 0; done < size; done += kLargestPiece) {
        pieces.push_back(
            {offset + done, static_cast<uint32_t>(std::min(size - done, kLargestPiece))});
    }
    return pieces;
}

// Writes the volume's new size into every descriptor that records it, in a file that holds
// the volume from `volumeStart`: the primary, and each supplementary and enhanced one
// (Joliet's among them), so that every reader agrees on it.
Result<void> recordVolumeSize(ImageWriter& image, uint64_t volumeStart, uint32_t sectors) {
    std::array<uint8_t, 8> field{};
    writeBothEndian(field, sectors);
    std::array<uint8_t, 7> head{};
    for (uint32_t lba = kFirstDescriptorLba; lba < kFirstDescriptorLba + kMostDescriptors; ++lba) {
        const uint64_t at = volumeStart + lba * kSectorBytes;
        const auto read = image.readAt(at, head);
        if (!read) {
            return read.error();
        }
        if (*read < head.size() ||
            !std::ranges::equal(std::span(head).subspan(1, 5), std::string_view("CD001"))) {
            return {};
        }
        if (head[0] == kTerminator) {
            return {};
        }
        if (head[0] == kPrimaryDescriptor || head[0] == kSupplementaryDescriptor) {
            if (auto written = image.writeAt(at + kVolumeSizeAt, field); !written) {
                return written;
            }
        }
    }
    return {};
}

// The UDF anchor in the volume's last sector, `from`, with its tag's location made `to`, the
// sector that is to end the grown volume.
Result<std::vector<uint8_t>> movedAnchor(ImageWriter& image, uint64_t layerOffset, uint32_t from,
                                         uint32_t to) {
    std::vector<uint8_t> anchor(kSectorBytes);
    const auto read = image.readAt(layerOffset + uint64_t{from} * kSectorBytes, anchor);
    if (!read) {
        return read.error();
    }
    const auto tag = *read == anchor.size() ? checkUdfTag(anchor, from)
                                            : Result<UdfTagId>(Error{ErrorKind::Changed, ""});
    if (!tag || *tag != UdfTagId::AnchorPointer) {
        return Error{ErrorKind::Changed,
                     "The UDF anchor in the volume's last sector changed since the data was "
                     "placed; nothing was written"};
    }
    writeLe32(anchor, kUdfTagLocationAt, to);
    sealUdfTag(anchor);
    return anchor;
}

Result<void> recordCopiedVolumeSize(JournalEdit& edit, uint32_t sectors) {
    auto copy = ImageWriter::open(edit, JournalTarget::LayerCopy);
    auto written = copy ? recordVolumeSize(*copy, 0, sectors) : Result<void>(copy.error());
    return written ? copy->finish() : written;
}

}  // namespace

Result<uint64_t> sourceSize(const std::string& path) {
    auto source = ImageFile::openForReading(path);
    return source ? source->size() : Result<uint64_t>(source.error());
}

Result<uint64_t> writePlacedData(JournalEdit& edit, const PlacedData& data,
                                 OperationObserver& observer) {
    auto source = ImageFile::openForReading(data.sourcePath);
    const auto size = source ? source->size() : Result<uint64_t>(source.error());
    if (!size) {
        return size.error();
    }
    if (*size != data.size) {
        return Error{
            ErrorKind::Changed,
            data.sourcePath + " changed its size since it was chosen; nothing was written"};
    }
    auto image = ImageWriter::openUserData(edit);
    const auto sizeBefore = image ? image->size() : Result<uint64_t>(image.error());
    if (!sizeBefore) {
        return sizeBefore.error();
    }
    const Placement& placement = data.placement;
    const uint64_t dataAt = data.layerOffset + uint64_t{placement.lba} * kSectorBytes;
    const uint64_t roomEnd = dataAt + uint64_t{placement.sectors} * kSectorBytes;
    const bool atEnd = placement.kind == PlacementKind::VolumeEnd;
    const uint64_t volumeEnd =
        atEnd ? data.layerOffset + uint64_t{placement.volumeSectors} * kSectorBytes : roomEnd;
    std::optional<std::vector<uint8_t>> anchor;
    if (volumeEnd > roomEnd) {
        auto moved = movedAnchor(*image, data.layerOffset, data.volumeSectors - 1,
                                 placement.volumeSectors - 1);
        if (!moved) {
            return moved.error();
        }
        anchor = std::move(*moved);
    }
    // The tables are read again from the image as it is now, and a change since the placement
    // that makes their growth unsound refuses before anything is written.
    std::vector<TableWrite> tableWrites;
    uint64_t length = std::max(*sizeBefore, volumeEnd);
    if (atEnd) {
        const auto tables = PartitionTables::read(
            [&](uint64_t offset, std::span<uint8_t> bytes) { return image->readAt(offset, bytes); },
            *sizeBefore);
        if (!tables) {
            return tables.error();
        }
        if (const auto refused = tables->refusal(dataAt, volumeEnd)) {
            return Error{ErrorKind::Changed,
                         "The image's partition tables changed since the data "
                         "was placed, and now " +
                             *refused + "; nothing was written"};
        }
        length = tables->grownLength(volumeEnd);
        tableWrites = tables->writesFor(dataAt, volumeEnd, length);
    }
    Result<void> written = image->growTo(length);
    if (written && data.size > 0) {
        written = rewritePieces(*image, edit, piecesOf(dataAt, data.size), data.name, observer,
                                [&](uint64_t done, std::span<uint8_t> piece) -> Result<void> {
                                    const auto got = source->readAt(done, piece);
                                    if (!got) {
                                        return got.error();
                                    }
                                    if (*got < piece.size()) {
                                        return Error{
                                            ErrorKind::Changed,
                                            data.sourcePath + " became shorter while it was read"};
                                    }
                                    return {};
                                });
    }
    if (written && roomEnd > dataAt + data.size) {
        const std::vector<uint8_t> zeros(roomEnd - dataAt - data.size);
        written = image->writeAt(dataAt + data.size, zeros);
    }
    if (written && anchor) {
        written = image->writeAt(volumeEnd - kSectorBytes, *anchor);
    }
    const bool resized = placement.volumeSectors != data.volumeSectors;
    if (written && resized) {
        written = recordVolumeSize(*image, data.layerOffset, placement.volumeSectors);
    }
    for (const auto& table : tableWrites) {
        if (written) {
            written = image->writeAt(table.offset, table.bytes);
        }
    }
    if (written) {
        written = image->finish();
    }
    // Layer 1 is read through its copy, whose descriptors must say the same.
    if (written && resized && data.layerOffset > 0) {
        written = recordCopiedVolumeSize(edit, placement.volumeSectors);
    }
    if (!written) {
        return written.error();
    }
    // A raw image's file grows by whole raw sectors, not by their user data.
    const uint64_t grown = length - *sizeBefore;
    return edit.files().imageLayout ? grown / kUserDataSize * kRawSectorSize : grown;
}

}  // namespace kestrel
