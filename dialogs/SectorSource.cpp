#include "dialogs/SectorSource.h"

namespace kestrel {

namespace {

// ECMA-130 lays the error codes out behind the user data: a 4-byte EDC; in Mode 1 then eight
// zero bytes; in Mode 1 and Form 1 the P and Q parity from byte 2076 to the end.
constexpr size_t kEdcSize = 4;
constexpr size_t kParityOffset = 2076;

std::vector<PartRange> codedSector(size_t dataOffset, size_t dataSize, bool parity) {
    std::vector<PartRange> parts{{SectorPart::Sync, 0, kSyncSize},
                                 {SectorPart::Header, kHeaderOffset, 4}};
    if (dataOffset > kSubheaderOffset) {
        parts.push_back({SectorPart::Subheader, kSubheaderOffset, dataOffset - kSubheaderOffset});
    }
    parts.push_back({SectorPart::UserData, dataOffset, dataSize});
    const size_t edc = dataOffset + dataSize;
    parts.push_back({SectorPart::Edc, edc, kEdcSize});
    if (parity) {
        if (edc + kEdcSize < kParityOffset) {
            parts.push_back({SectorPart::Reserved, edc + kEdcSize, kParityOffset - edc - kEdcSize});
        }
        parts.push_back({SectorPart::Ecc, kParityOffset, kRawSectorSize - kParityOffset});
    }
    return parts;
}

const char* kindName(SectorKind kind) {
    switch (kind) {
        case SectorKind::Mode1:
            return "Mode 1";
        case SectorKind::Mode2Form1:
            return "Mode 2 Form 1";
        case SectorKind::Mode2Form2:
            return "Mode 2 Form 2";
        case SectorKind::Other:
            break;
    }
    return "not a data sector";
}

bool hasSync(ConstRawSector sector) {
    for (size_t i = 0; i < kSyncSize; ++i) {
        if (sector[i] != (i == 0 || i == kSyncSize - 1 ? 0x00 : 0xFF)) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<PartRange> rawSectorParts(ConstRawSector sector) {
    switch (sectorKind(sector)) {
        case SectorKind::Mode1:
            return codedSector(kMode1DataOffset, kForm1DataSize, true);
        case SectorKind::Mode2Form1:
            return codedSector(kMode2DataOffset, kForm1DataSize, true);
        case SectorKind::Mode2Form2:
            return codedSector(kMode2DataOffset, kForm2DataSize, false);
        case SectorKind::Other:
            break;
    }
    if (!hasSync(sector)) {
        return {{SectorPart::Unknown, 0, kRawSectorSize}};
    }
    const size_t rest = kHeaderOffset + 4;
    return {{SectorPart::Sync, 0, kSyncSize},
            {SectorPart::Header, kHeaderOffset, 4},
            {SectorPart::Unknown, rest, kRawSectorSize - rest}};
}

Result<uint64_t> SectorSource::sectors() const {
    if (layout_) {
        return layout_->sectors;
    }
    const auto size = image_->size();
    if (!size) {
        return size.error();
    }
    const uint64_t bytes = *size > layerOffset_ ? *size - layerOffset_ : 0;
    return (bytes + kUserDataSize - 1) / kUserDataSize;
}

Result<SectorBytes> SectorSource::read(uint64_t lba) const {
    const auto count = sectors();
    if (!count) {
        return count.error();
    }
    if (lba >= *count) {
        return Error{ErrorKind::InvalidInput,
                     "LBA " + std::to_string(lba) + " is past the end of " + path() +
                         ", which holds " + std::to_string(*count) + " sectors"};
    }
    SectorBytes sector;
    sector.bytes.resize(layout_ ? kRawSectorSize : kUserDataSize);
    sector.imageOffset = layout_ ? layout_->sectorOffset(lba) : layerOffset_ + lba * kUserDataSize;
    const auto read = image_->readAt(sector.imageOffset, sector.bytes);
    if (!read) {
        return read.error();
    }
    sector.bytes.resize(*read);
    if (layout_ && *read == kRawSectorSize) {
        const ConstRawSector raw(sector.bytes.data(), kRawSectorSize);
        sector.parts = rawSectorParts(raw);
        sector.kind = kindName(sectorKind(raw));
    }
    return sector;
}

}  // namespace kestrel
