#include "io/RawImage.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kestrel {

namespace {

// Sectors read at once: as many as a 128 KiB transfer block of user data needs.
constexpr size_t kSectorsPerRead = 64;

bool fitsTrack(SectorKind kind, const RawLayout& layout) {
    return layout.mode == 1 ? kind == SectorKind::Mode1
                            : kind == SectorKind::Mode2Form1 || kind == SectorKind::Mode2Form2;
}

Error damaged(const ImageFile& file, const RawLayout& layout, uint64_t lba, ConstRawSector sector) {
    static constexpr uint8_t kSync[kSyncSize] = {0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};
    const std::string why = std::memcmp(sector.data(), kSync, kSyncSize) != 0
                                ? "it does not start with the sync pattern"
                                : "its header says mode " + std::to_string(sector[kModeOffset]) +
                                      " in a Mode " + std::to_string(layout.mode) + " track";
    return Error{ErrorKind::CorruptImage,
                 "Sector " + std::to_string(lba) + " of " + file.path() + " (at byte " +
                     std::to_string(layout.sectorOffset(lba)) + ") is damaged: " + why};
}

}  // namespace

Result<size_t> readRawSectors(const ImageFile& file, const RawLayout& layout, uint64_t lba,
                              std::span<uint8_t> sectors) {
    const uint64_t wanted =
        lba >= layout.sectors ? 0 : std::min(sectors.size() / kRawSectorSize, layout.sectors - lba);
    const auto read = file.readAt(layout.sectorOffset(lba), sectors.first(wanted * kRawSectorSize));
    if (!read) {
        return read.error();
    }
    const size_t whole = *read / kRawSectorSize;
    for (size_t i = 0; i < whole; ++i) {
        const auto sector = ConstRawSector(sectors.subspan(i * kRawSectorSize, kRawSectorSize));
        if (!fitsTrack(sectorKind(sector), layout)) {
            if (i == 0) {
                return damaged(file, layout, lba, sector);
            }
            return i;
        }
    }
    return whole;
}

Result<size_t> readSectorView(const ImageFile& file, const RawLayout& layout, SectorView view,
                              uint64_t offset, std::span<uint8_t> buffer) {
    std::vector<uint8_t> sectors;
    size_t done = 0;
    while (done < buffer.size()) {
        const uint64_t lba = (offset + done) / view.length;
        const size_t within = (offset + done) % view.length;
        const size_t count = std::min(
            kSectorsPerRead, (within + buffer.size() - done + view.length - 1) / view.length);
        sectors.resize(count * kRawSectorSize);
        const auto read = readRawSectors(file, layout, lba, sectors);
        if (!read) {
            return done == 0 ? read : Result<size_t>(done);
        }
        for (size_t i = 0; i < *read && done < buffer.size(); ++i) {
            const size_t from = i == 0 ? within : 0;
            const size_t length = std::min(view.length - from, buffer.size() - done);
            std::memcpy(buffer.data() + done,
                        sectors.data() + i * kRawSectorSize + view.offset + from, length);
            done += length;
        }
        if (*read < count) {
            break;
        }
    }
    return done;
}

Result<bool> holdsForm2Sector(const ImageFile& file, const RawLayout& layout, uint64_t lba,
                              uint64_t count) {
    if (layout.mode != 2) {
        return false;
    }
    std::vector<uint8_t> sectors(kSectorsPerRead * kRawSectorSize);
    for (uint64_t done = 0; done < count;) {
        const auto want = std::min<uint64_t>(kSectorsPerRead, count - done);
        const auto read = readRawSectors(file, layout, lba + done,
                                         std::span(sectors).first(want * kRawSectorSize));
        if (!read) {
            return read.error();
        }
        for (size_t i = 0; i < *read; ++i) {
            if ((sectors[i * kRawSectorSize + kSubmodeOffset] & kSubmodeForm2) != 0) {
                return true;
            }
        }
        if (*read < want) {
            break;
        }
        done += want;
    }
    return false;
}

Result<uint64_t> RawImage::size() const {
    const auto bytes = file_.size();
    if (!bytes) {
        return bytes.error();
    }
    const uint64_t held =
        *bytes <= layout_.firstByte ? 0 : (*bytes - layout_.firstByte) / kRawSectorSize;
    return std::min(held, layout_.sectors) * kUserDataSize;
}

}  // namespace kestrel
