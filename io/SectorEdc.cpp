#include "io/SectorEdc.h"

#include <array>
#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace kestrel {
namespace {

// The polynomial without its x^32 term: as written (bit i for x^i) and reflected (bit i for
// x^(31-i)), the form a least-significant-bit-first register uses.
constexpr uint64_t kPolynomial = 0x8001801B;
constexpr uint32_t kPolynomialReflected = 0xD8018001;

constexpr std::array<uint32_t, 256> kByteTable = [] {
    std::array<uint32_t, 256> table{};
    for (uint32_t byte = 0; byte < 256; ++byte) {
        uint32_t crc = byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1) ? kPolynomialReflected : 0);
        }
        table[byte] = crc;
    }
    return table;
}();

uint32_t edcByBytes(uint32_t crc, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        crc = (crc >> 8) ^ kByteTable[(crc ^ bytes[i]) & 0xFF];
    }
    return crc;
}

#if defined(__x86_64__)
// Folding with carry-less multiplication. Sixteen bytes loaded little-endian hold a
// polynomial with bit i the coefficient of x^(127-i), the first byte's low bit highest. With no
// initial or final inversion the EDC depends only on the data's polynomial modulo P, so the
// data before each 16-byte block can be folded into it: for X = H x^64 + L ahead of n blocks,
// X x^(128n) = H x^(128n+64) + L x^(128n), and each part is a product of 64 by 32 bits modulo
// P. A product of two 64-bit reflected values comes out reflected over 127 bits, one short of
// the 128-bit form, so the constants are x^(128n+63) and x^(128n-1) modulo P: the missing
// factor x is the shift. What remains, one block congruent to all before it and the tail, is
// small enough for the byte table.

constexpr uint64_t powerOfXModP(unsigned exponent) {
    uint64_t value = 1;
    for (unsigned i = 0; i < exponent; ++i) {
        value <<= 1;
        if (value >> 32) {
            value = (value & 0xFFFFFFFF) ^ kPolynomial;
        }
    }
    return value;
}

constexpr uint64_t reflect64(uint64_t value) {
    uint64_t reflected = 0;
    for (int i = 0; i < 64; ++i) {
        reflected |= ((value >> i) & 1) << (63 - i);
    }
    return reflected;
}

struct FoldConstants {
    uint64_t high, low;  // for H and L above
};

constexpr FoldConstants foldBy(unsigned blocks) {
    return {reflect64(powerOfXModP(128 * blocks + 63)), reflect64(powerOfXModP(128 * blocks - 1))};
}

constexpr size_t kLanes = 4;
constexpr FoldConstants kFoldBy1 = foldBy(1);
constexpr FoldConstants kFoldBy2 = foldBy(2);
constexpr FoldConstants kFoldBy3 = foldBy(3);
constexpr FoldConstants kFoldByLanes = foldBy(kLanes);

__attribute__((target("pclmul"))) __m128i fold(__m128i value, FoldConstants constants) {
    const __m128i k = _mm_set_epi64x(static_cast<long long>(constants.low),
                                     static_cast<long long>(constants.high));
    return _mm_xor_si128(_mm_clmulepi64_si128(value, k, 0x00),
                         _mm_clmulepi64_si128(value, k, 0x11));
}

__attribute__((target("pclmul"))) __m128i load(const uint8_t* bytes) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

__attribute__((target("pclmul"))) uint32_t edcByFolding(const uint8_t* bytes, size_t length) {
    const size_t blocks = length / 16;
    __m128i lane[kLanes];
    for (size_t i = 0; i < kLanes; ++i) {
        lane[i] = load(bytes + 16 * i);
    }
    size_t block = kLanes;
    for (; block + kLanes <= blocks; block += kLanes) {
        for (size_t i = 0; i < kLanes; ++i) {
            lane[i] = _mm_xor_si128(fold(lane[i], kFoldByLanes), load(bytes + 16 * (block + i)));
        }
    }
    __m128i value = _mm_xor_si128(_mm_xor_si128(fold(lane[0], kFoldBy3), fold(lane[1], kFoldBy2)),
                                  _mm_xor_si128(fold(lane[2], kFoldBy1), lane[3]));
    for (; block < blocks; ++block) {
        value = _mm_xor_si128(fold(value, kFoldBy1), load(bytes + 16 * block));
    }
    alignas(16) uint8_t folded[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(folded), value);
    const uint32_t crc = edcByBytes(0, folded, sizeof folded);
    return edcByBytes(crc, bytes + 16 * blocks, length - 16 * blocks);
}

// Run before main, hence the explicit detection.
const bool kHasCarrylessMultiply = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") != 0;
}();
#endif

}  // namespace

uint32_t sectorEdc(std::span<const uint8_t> bytes) {
#if defined(__x86_64__)
    if (kHasCarrylessMultiply && bytes.size() >= 16 * kLanes) {
        return edcByFolding(bytes.data(), bytes.size());
    }
#endif
    return edcByBytes(0, bytes.data(), bytes.size());
}

}  // namespace kestrel
