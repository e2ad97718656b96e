// Reed-Solomon over GF(2^8) with field polynomial x^8+x^4+x^3+x^2+1 and primitive element
// a = x. The 2340 bytes from the header on form two byte planes (even and odd bytes) of a
// matrix of 26 rows of 43 two-byte columns, a row being 86 consecutive bytes. Each P vector is
// one column's 24 data rows and its two parity bytes in rows 24 and 25; each Q vector runs
// diagonally through all 26 rows (column c, row (c + n) mod 26 for vector n) and has its two
// parity bytes after the matrix. A vector v of length L holds sum(v[i]) = 0 and
// sum(a^(L-1-i) v[i]) = 0. For data d[0..L-3] with s0 = sum(d[i]) and
// s1 = sum(a^(L-1-i) d[i]), the parity bytes are p = (s0 + s1) / (a + 1) and q = s0 + p.
//
// Per-byte table look-ups cost too much at the rate data is moved, so both sums are formed a
// row at a time, sixteen bytes to a vector: Horner's rule needs only multiplication by a,
// which is a shift and a conditional xor. Table look-ups are left for the 138 vectors' final
// weights and division.

#include "io/SectorParity.h"

#include <array>
#include <cstring>

namespace kestrel {
namespace {

using Bytes = uint8_t __attribute__((vector_size(16)));
using SignedBytes = int8_t __attribute__((vector_size(16)));

constexpr size_t kRowBytes = 86;
constexpr size_t kRowVectors = 6;  // the last holds the row's final 6 bytes
constexpr size_t kPRows = 24;
constexpr size_t kQRows = 26;
constexpr size_t kQVectors = 2 * kQRows;

Bytes load(const uint8_t* bytes) {
    Bytes value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Every byte times a: doubled, and x^8 reduced to x^4+x^3+x^2+1 (0x1D) where it overflowed.
Bytes timesA(Bytes value) {
    return (value + value) ^
           (reinterpret_cast<Bytes>(reinterpret_cast<SignedBytes>(value) < 0) & 0x1D);
}

// 0xFF for the offsets 0..85 of a row, counted from kWindowZero, and 0 around them: loading 16
// bytes of it at (position in the row + kWindowZero) masks what a load beyond the row brings.
constexpr size_t kWindowZero = 64;
constexpr std::array<uint8_t, 256> kRowWindow = [] {
    std::array<uint8_t, 256> window{};
    for (size_t i = 0; i < kRowBytes; ++i) {
        window[kWindowZero + i] = 0xFF;
    }
    return window;
}();

// `position` may run up to 15 bytes before the row's start or past its end: those lanes are 0.
Bytes rowBytes(const uint8_t* row, ptrdiff_t position) {
    return load(row + position) & load(kRowWindow.data() + kWindowZero + position);
}

struct Field {
    // a^i for i in 0..509 (twice round), then zeros: exp[log[v] + k] is v * a^k for k < 256,
    // also for v = 0, whose log points into the zeros.
    std::array<uint8_t, 768> exp{};
    std::array<uint16_t, 256> log{};
    std::array<uint8_t, 256> overAPlus1{};
};

constexpr Field kField = [] {
    Field field;
    unsigned value = 1;
    for (unsigned i = 0; i < 255; ++i) {
        field.exp[i] = field.exp[i + 255] = static_cast<uint8_t>(value);
        field.log[value] = static_cast<uint16_t>(i);
        value = (value << 1) ^ ((value & 0x80) ? 0x11D : 0);
    }
    field.log[0] = 510;
    for (unsigned v = 0; v < 256; ++v) {
        field.overAPlus1[v] = field.exp[field.log[v] + 255 - field.log[3]];
    }
    return field;
}();

uint8_t times(uint8_t value, unsigned powerOfA) {
    return kField.exp[kField.log[value] + powerOfA];
}

// Writes vector n's parity bytes at `parity[n]` and `parity[n + count]`.
void writeParity(const uint8_t* s0, const uint8_t* s1, size_t count, uint8_t* parity) {
    for (size_t n = 0; n < count; ++n) {
        const uint8_t p = kField.overAPlus1[s0[n] ^ s1[n]];
        parity[n] = p;
        parity[n + count] = static_cast<uint8_t>(s0[n] ^ p);
    }
}

// Horner over the rows gives sum(a^(23-r) d[r]) for each column; times a^2 is s1.
void writePParity(uint8_t* matrix) {
    std::array<Bytes, kRowVectors> sum0{}, sum1{};
    for (size_t row = 0; row < kPRows; ++row) {
#pragma GCC unroll 16
        for (size_t k = 0; k < kRowVectors; ++k) {
            const Bytes value = rowBytes(matrix + row * kRowBytes, 16 * k);
            sum0[k] ^= value;
            sum1[k] = timesA(sum1[k]) ^ value;
        }
    }
    std::array<uint8_t, 16 * kRowVectors> s0, s1;
    for (size_t k = 0; k < kRowVectors; ++k) {
        const Bytes weighted = timesA(timesA(sum1[k]));
        std::memcpy(s0.data() + 16 * k, &sum0[k], 16);
        std::memcpy(s1.data() + 16 * k, &weighted, 16);
    }
    writeParity(s0.data(), s1.data(), kRowBytes, matrix + kPRows * kRowBytes);
}

// Row r's column c belongs to Q vector (r - c) mod 26 with weight a^(44 - c). Each row is
// added into a band indexed by j = c - r + 25, so that a row's bytes stay consecutive, and the
// band is multiplied by a before each row: an entry from row r ends up times a^(25 - r), and
// a^(44 - c) = a^(44 - j) a^(25 - r), so the band's entry j needs only a^(44 - j) at the end.
void writeQParity(uint8_t* matrix) {
    constexpr size_t kBandColumns = 43 + kQRows - 1;  // j in 0..67
    constexpr size_t kBandVectors = (2 * kBandColumns + 15) / 16;
    std::array<Bytes, kBandVectors> band0{}, band1{};
    for (size_t row = 0; row < kQRows; ++row) {
        const uint8_t* bytes = matrix + row * kRowBytes;
        const ptrdiff_t shift = static_cast<ptrdiff_t>(2 * (kQRows - 1 - row));
#pragma GCC unroll 16
        for (size_t k = 0; k < kBandVectors; ++k) {
            band1[k] = timesA(band1[k]);
            const ptrdiff_t position = static_cast<ptrdiff_t>(16 * k) - shift;
            if (position > -16 && position < static_cast<ptrdiff_t>(kRowBytes)) {
                const Bytes value = rowBytes(bytes, position);
                band0[k] ^= value;
                band1[k] ^= value;
            }
        }
    }
    std::array<uint8_t, 16 * kBandVectors> b0, b1;
    std::memcpy(b0.data(), band0.data(), b0.size());
    std::memcpy(b1.data(), band1.data(), b1.size());
    std::array<uint8_t, kQVectors> s0{}, s1{};
    for (size_t j = 0; j < kBandColumns; ++j) {
        const size_t vector = (kQRows - 1 + 2 * kQRows - j) % kQRows;
        const unsigned weight = (44 + 255 - j) % 255;
        for (size_t plane = 0; plane < 2; ++plane) {
            s0[2 * vector + plane] ^= b0[2 * j + plane];
            s1[2 * vector + plane] ^= times(b1[2 * j + plane], weight);
        }
    }
    writeParity(s0.data(), s1.data(), kQVectors, matrix + kQRows * kRowBytes);
}

}  // namespace

void writeSectorParity(RawSector sector) {
    uint8_t* matrix = sector.data() + kHeaderOffset;
    writePParity(matrix);
    writeQParity(matrix);
}

}  // namespace kestrel
