#include "io/SectorCodes.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kestrel {
namespace {

// ---- EDC: CRC-32 of x^32+x^31+x^16+x^15+x^4+x^3+x+1, least significant bit first, no
// initial or final inversion, stored little-endian. Eight bytes per step (slicing by 8).

constexpr uint32_t kEdcPolynomialReflected = 0xD8018001;

constexpr std::array<std::array<uint32_t, 256>, 8> makeEdcTables() {
    std::array<std::array<uint32_t, 256>, 8> tables{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) ? kEdcPolynomialReflected : 0);
        }
        tables[0][byte] = crc;
    }
    for (size_t slice = 1; slice < 8; ++slice) {
        for (size_t byte = 0; byte < 256; ++byte) {
            const uint32_t previous = tables[slice - 1][byte];
            tables[slice][byte] = (previous >> 8) ^ tables[0][previous & 0xFF];
        }
    }
    return tables;
}

constexpr auto kEdcTables = makeEdcTables();

uint32_t load32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
           uint32_t{bytes[3]} << 24;
}

uint32_t edc(const uint8_t* bytes, size_t length) {
    uint32_t crc = 0;
    const auto& t = kEdcTables;
    for (; length >= 8; bytes += 8, length -= 8) {
        const uint32_t low = crc ^ load32(bytes);
        const uint32_t high = load32(bytes + 4);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
              t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; length > 0; ++bytes, --length) {
        crc = (crc >> 8) ^ t[0][(crc ^ *bytes) & 0xFF];
    }
    return crc;
}

void writeEdc(RawSector sector, size_t begin, size_t end) {
    const uint32_t value = edc(sector.data() + begin, end - begin);
    for (size_t i = 0; i < 4; ++i) {
        sector[end + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// ---- P and Q parity: Reed-Solomon over GF(2^8) with field polynomial x^8+x^4+x^3+x^2+1 and
// primitive element a = x. The 2340 bytes from the header on form two byte planes (even and
// odd bytes) of a matrix of 26 rows of 43 two-byte columns, a row being 86 consecutive bytes.
// Each P vector is one column's 24 data rows and two parity bytes in rows 24 and 25; each Q
// vector runs diagonally through all 26 rows (column c, row (c + n) mod 26 for vector n) and
// has its two parity bytes after the matrix. A vector v of length L holds
// sum(v[i]) = 0 and sum(a^(L-1-i) v[i]) = 0.
//
// For data d[0..L-3] with s0 = sum(d[i]) and s1 = sum(a^(L-1-i) d[i]), the two parity bytes
// are p = (s0 + s1) / (a + 1) and q = s0 + p. Both sums are formed a whole row at a time,
// eight bytes to a machine word, so that no byte is looked up in a table on its own.

constexpr size_t kRowBytes = 86;
constexpr size_t kPRows = 24;
constexpr size_t kQRows = 26;
constexpr size_t kPOffset = kHeaderOffset + kPRows * kRowBytes;  // 2076
constexpr size_t kQOffset = kHeaderOffset + kQRows * kRowBytes;  // 2248
constexpr size_t kQVectorBytes = 52;                             // 26 vectors, two planes

constexpr uint64_t kLowBits = 0x0101010101010101;
constexpr uint64_t kHighBits = 0x8080808080808080;

// Every byte times a: a shift, and x^8 reduced to x^4+x^3+x^2+1 (0x1D) where a byte overflows.
uint64_t timesA(uint64_t bytes) {
    return ((bytes & ~kHighBits) << 1) ^ (((bytes >> 7) & kLowBits) * 0x1D);
}

// Every byte divided by a: a shift, and 1/a = x^7+x^3+x^2+x (0x8E) where a byte was odd.
uint64_t overA(uint64_t bytes) {
    return ((bytes >> 1) & ~kHighBits) ^ ((bytes & kLowBits) * 0x8E);
}

uint64_t load64(const uint8_t* bytes) {
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

void xorInto(uint8_t* target, const uint8_t* source, size_t length) {
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        const uint64_t value = load64(target + i) ^ load64(source + i);
        std::memcpy(target + i, &value, sizeof value);
    }
    for (; i < length; ++i) {
        target[i] ^= source[i];
    }
}

struct Field {
    std::array<uint8_t, 256> exp{};  // a^i for i in 0..254, then a^255 = 1
    std::array<uint8_t, 256> log{};
    std::array<uint8_t, 256> overAPlus1{};
};

constexpr Field makeField() {
    Field field;
    unsigned value = 1;
    for (unsigned i = 0; i < 255; ++i) {
        field.exp[i] = static_cast<uint8_t>(value);
        field.log[value] = static_cast<uint8_t>(i);
        value <<= 1;
        if (value & 0x100) {
            value ^= 0x11D;
        }
    }
    field.exp[255] = 1;
    const unsigned logAPlus1 = field.log[3];
    for (unsigned v = 1; v < 256; ++v) {
        field.overAPlus1[v] = field.exp[(field.log[v] + 255 - logAPlus1) % 255];
    }
    return field;
}

constexpr Field kField = makeField();

uint8_t times(uint8_t value, unsigned powerOfA) {
    return value == 0 ? 0 : kField.exp[(kField.log[value] + powerOfA) % 255];
}

// Writes vector n's parity bytes at `parity[n]` and `parity[n + count]`.
void writeParity(const uint8_t* s0, const uint8_t* s1, size_t count, uint8_t* parity) {
    for (size_t n = 0; n < count; ++n) {
        const uint8_t p = kField.overAPlus1[s0[n] ^ s1[n]];
        parity[n] = p;
        parity[n + count] = static_cast<uint8_t>(s0[n] ^ p);
    }
}

// The matrix starts at the header; `header` is what the header's four bytes count as.
void writePParity(uint8_t* matrix, const uint8_t* header) {
    // Horner over the rows: s1 = (...(d0 a + d1) a + ...) a + d23, then times a^2 at the end.
    std::array<uint64_t, 11> sum0{}, sum1{};
    for (size_t row = 0; row < kPRows; ++row) {
        std::array<uint8_t, 88> bytes{};
        std::memcpy(bytes.data(), matrix + row * kRowBytes, kRowBytes);
        if (row == 0) {
            std::memcpy(bytes.data(), header, 4);
        }
        for (size_t w = 0; w < sum0.size(); ++w) {
            const uint64_t value = load64(bytes.data() + 8 * w);
            sum0[w] ^= value;
            sum1[w] = timesA(sum1[w]) ^ value;
        }
    }
    std::array<uint8_t, 88> s0, s1;
    for (size_t w = 0; w < sum0.size(); ++w) {
        const uint64_t weighted = timesA(timesA(sum1[w]));
        std::memcpy(s0.data() + 8 * w, &sum0[w], 8);
        std::memcpy(s1.data() + 8 * w, &weighted, 8);
    }
    writeParity(s0.data(), s1.data(), kRowBytes, matrix + kPRows * kRowBytes);
}

// Row r's column c belongs to Q vector (r - c) mod 26 with weight a^(44 - c). Each row is
// added into a band indexed by j = c - r + 25 (so a row's bytes stay consecutive), the band
// divided by a before each row from the last up: an entry from row r is then divided by a^r,
// and a^(44 - c) = a^(69 - j) / a^r, so the band's entry j only needs a^(69 - j) at the end.
void writeQParity(uint8_t* matrix, const uint8_t* header) {
    constexpr size_t kBandColumns = 43 + kQRows - 1;  // j in 0..67
    std::array<uint8_t, 2 * kBandColumns> band0{}, band1{};
    for (size_t row = kQRows; row-- > 0;) {
        for (size_t w = 0; w < band1.size() / 8; ++w) {
            const uint64_t value = overA(load64(band1.data() + 8 * w));
            std::memcpy(band1.data() + 8 * w, &value, 8);
        }
        std::array<uint8_t, kRowBytes> bytes;
        std::memcpy(bytes.data(), matrix + row * kRowBytes, kRowBytes);
        if (row == 0) {
            std::memcpy(bytes.data(), header, 4);
        }
        const size_t start = 2 * (kQRows - 1 - row);
        xorInto(band0.data() + start, bytes.data(), kRowBytes);
        xorInto(band1.data() + start, bytes.data(), kRowBytes);
    }
    std::array<uint8_t, kQVectorBytes> s0{}, s1{};
    for (size_t j = 0; j < kBandColumns; ++j) {
        const size_t vector = (kQRows - 1 + 2 * kQRows - j) % kQRows;
        for (size_t plane = 0; plane < 2; ++plane) {
            s0[2 * vector + plane] ^= band0[2 * j + plane];
            s1[2 * vector + plane] ^= times(band1[2 * j + plane], 69 - j);
        }
    }
    writeParity(s0.data(), s1.data(), kQVectorBytes, matrix + kQRows * kRowBytes);
}

void writeEcc(RawSector sector, bool headerAsZero) {
    std::array<uint8_t, 4> header{};
    if (!headerAsZero) {
        std::memcpy(header.data(), sector.data() + kHeaderOffset, 4);
    }
    uint8_t* matrix = sector.data() + kHeaderOffset;
    writePParity(matrix, header.data());
    writeQParity(matrix, header.data());
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
    writeEcc(sector, false);
}

void writeMode2Form1Codes(RawSector sector) {
    writeEdc(sector, kSubheaderOffset, kMode2DataOffset + kForm1DataSize);
    writeEcc(sector, true);
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
