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
// which is a shift and a conditional xor. A table is looked up only for the division of the
// 52 Q vectors' sums.

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

// With G(m) = 1 + a + ... + a^(m-1), a column's p is sum(G(25-r) d[r]) and its q is s0 + p.
// Since G(m+1) = a G(m) + 1, Horner over the rows on the running sum s of the rows so far,
// t = a t + s, leaves t = sum(G(24-r) d[r]): then q = a t and p = q + s, with no division.
void writePParity(uint8_t* matrix) {
    std::array<Bytes, kRowVectors> sum{}, horner{};
    for (size_t row = 0; row < kPRows; ++row) {
#pragma GCC unroll 16
        for (size_t k = 0; k < kRowVectors; ++k) {
            sum[k] ^= rowBytes(matrix + row * kRowBytes, 16 * k);
            horner[k] = timesA(horner[k]) ^ sum[k];
        }
    }
    std::array<uint8_t, 16 * kRowVectors> p, q;
    for (size_t k = 0; k < kRowVectors; ++k) {
        const Bytes qk = timesA(horner[k]);
        const Bytes pk = qk ^ sum[k];
        std::memcpy(p.data() + 16 * k, &pk, 16);
        std::memcpy(q.data() + 16 * k, &qk, 16);
    }
    std::memcpy(matrix + kPRows * kRowBytes, p.data(), kRowBytes);
    std::memcpy(matrix + (kPRows + 1) * kRowBytes, q.data(), kRowBytes);
}

constexpr size_t kBandColumns = 43 + kQRows - 1;  // j in 0..67
constexpr size_t kBandVectors = (2 * kBandColumns + 15) / 16;

// For each bit b of a byte, the bytes a^b w: a byte v times w is the sum of those whose bit is
// set in v, which is sixteen lanes' multiplications, each by its own w, at once.
using LaneWeights = std::array<std::array<uint8_t, 16>, 8>;

Bytes timesLaneWeights(Bytes value, const LaneWeights& weights) {
    Bytes product{};
#pragma GCC unroll 8
    for (int bit = 7; bit >= 0; --bit) {
        product ^= reinterpret_cast<Bytes>(reinterpret_cast<SignedBytes>(value) < 0) &
                   load(weights[bit].data());
        value += value;
    }
    return product;
}

// Band column j's weight a^(44 - j), see below.
constexpr std::array<LaneWeights, kBandVectors> kQLaneWeights = [] {
    std::array<LaneWeights, kBandVectors> weights{};
    for (size_t k = 0; k < kBandVectors; ++k) {
        for (size_t bit = 0; bit < 8; ++bit) {
            for (size_t lane = 0; lane < 16; ++lane) {
                const size_t j = (16 * k + lane) / 2;
                weights[k][bit][lane] = kField.exp[(44 + 255 - j + bit) % 255];
            }
        }
    }
    return weights;
}();

// Row r's column c belongs to Q vector (r - c) mod 26 with weight a^(44 - c). Each row is
// added into a band indexed by j = c - r + 25, so that a row's bytes stay consecutive, and the
// band is multiplied by a before each row: an entry from row r ends up times a^(25 - r), and
// a^(44 - c) = a^(44 - j) a^(25 - r), so the band's entry j needs only a^(44 - j) at the end.
void writeQParity(uint8_t* matrix) {
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
    for (size_t k = 0; k < kBandVectors; ++k) {
        band1[k] = timesLaneWeights(band1[k], kQLaneWeights[k]);
    }
    // Band columns j, j + 26 and j + 52 belong to vector 25 - j: the band's three stretches of
    // 52 bytes add up to the sums, vector by vector from the last. Zeros follow the band, for
    // the third stretch is shorter.
    std::array<uint8_t, 16 * (kBandVectors + 2)> bytes0{}, bytes1{};
    std::memcpy(bytes0.data(), band0.data(), sizeof band0);
    std::memcpy(bytes1.data(), band1.data(), sizeof band1);
    std::array<uint8_t, 64> s0, s1;
    for (size_t k = 0; k < s0.size() / 16; ++k) {
        const size_t at = 16 * k;
        const Bytes sum0 =
            load(&bytes0[at]) ^ load(&bytes0[at + kQVectors]) ^ load(&bytes0[at + 2 * kQVectors]);
        const Bytes sum1 =
            load(&bytes1[at]) ^ load(&bytes1[at + kQVectors]) ^ load(&bytes1[at + 2 * kQVectors]);
        std::memcpy(&s0[at], &sum0, 16);
        std::memcpy(&s1[at], &sum1, 16);
    }
    uint8_t* parity = matrix + kQRows * kRowBytes;
    for (size_t vector = 0; vector < kQRows; ++vector) {
        for (size_t plane = 0; plane < 2; ++plane) {
            const size_t from = 2 * (kQRows - 1 - vector) + plane;
            const uint8_t p = kField.overAPlus1[s0[from] ^ s1[from]];
            parity[2 * vector + plane] = p;
            parity[kQVectors + 2 * vector + plane] = static_cast<uint8_t>(s0[from] ^ p);
        }
    }
}

}  // namespace

void writeSectorParity(RawSector sector) {
    uint8_t* matrix = sector.data() + kHeaderOffset;
    writePParity(matrix);
    writeQParity(matrix);
}

}  // namespace kestrel
