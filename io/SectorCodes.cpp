#include "io/SectorCodes.h"

#include <algorithm>
#include <array>

#include "io/SectorEdc.h"
#include "io/SectorParity.h"

namespace kestrel {
namespace {

void writeEdc(RawSector sector, size_t begin, size_t end) {
    const uint32_t value = sectorEdc(std::span(sector.data() + begin, end - begin));
    for (size_t i = 0; i < 4; ++i) {
        sector[end + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

constexpr std::array<uint8_t, kSyncSize> kSync = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                  0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

}  // namespace

SectorKind sectorKind(ConstRawSector sector) {
    if (!std::equal(kSync.begin(), kSync.end(), sector.begin())) {
        return SectorKind::Other;
    }
    switch (sector[kModeOffset]) {
        case 1:
            return SectorKind::Mode1;
        case 2:
            return (sector[kSubmodeOffset] & kSubmodeForm2) ? SectorKind::Mode2Form2
                                                            : SectorKind::Mode2Form1;
        default:
            return SectorKind::Other;
    }
}

void writeMode1Codes(RawSector sector) {
    constexpr size_t kEdcEnd = kMode1DataOffset + kForm1DataSize;
    writeEdc(sector, 0, kEdcEnd);
    std::fill_n(sector.data() + kEdcEnd + 4, 8, 0);
    writeSectorParity(sector);
}

void writeMode2Form1Codes(RawSector sector) {
    writeEdc(sector, kSubheaderOffset, kMode2DataOffset + kForm1DataSize);
    std::array<uint8_t, 4> header;
    std::copy_n(sector.data() + kHeaderOffset, header.size(), header.begin());
    std::fill_n(sector.data() + kHeaderOffset, header.size(), 0);
    writeSectorParity(sector);
    std::copy(header.begin(), header.end(), sector.data() + kHeaderOffset);
}

void writeMode2Form2Codes(RawSector sector) {
    writeEdc(sector, kSubheaderOffset, kMode2DataOffset + kForm2DataSize);
}

void writeSectorCodes(RawSector sector, SectorKind kind) {
    switch (kind) {
        case SectorKind::Mode1:
            writeMode1Codes(sector);
            break;
        case SectorKind::Mode2Form1:
            writeMode2Form1Codes(sector);
            break;
        case SectorKind::Mode2Form2:
            writeMode2Form2Codes(sector);
            break;
        case SectorKind::Other:
            break;
    }
}

bool sectorCodesHold(ConstRawSector sector) {
    const SectorKind kind = sectorKind(sector);
    if (kind == SectorKind::Other) {
        return false;
    }
    std::array<uint8_t, kRawSectorSize> expected;
    std::copy(sector.begin(), sector.end(), expected.begin());
    writeSectorCodes(expected, kind);
    const size_t codesBegin = kind == SectorKind::Mode2Form2 ? kRawSectorSize - 4
                              : kind == SectorKind::Mode1    ? kMode1DataOffset + kForm1DataSize
                                                             : kMode2DataOffset + kForm1DataSize;
    const auto recorded = sector.subspan(codesBegin);
    if (kind == SectorKind::Mode2Form2 &&
        std::ranges::all_of(recorded, [](uint8_t b) { return b == 0; })) {
        return true;
    }
    return std::ranges::equal(recorded, std::span(expected).subspan(codesBegin));
}

}  // namespace kestrel
