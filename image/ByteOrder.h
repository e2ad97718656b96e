// Numbers in an image: read from the little-endian half of a both-endian field, and always
// written to both halves so that no patch can update one and forget the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

inline uint16_t readLe16(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

inline uint32_t readLe32(std::span<const uint8_t> bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
           static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// 300 -> 2C 01 00 00 00 00 01 2C
inline uint32_t readBe32(std::span<const uint8_t> bytes, size_t at) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

inline void writeLe16(std::span<uint8_t> bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

inline void writeLe32(std::span<uint8_t> bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void writeLe64(std::span<uint8_t> bytes, size_t at, uint64_t value) {
    for (size_t i = 0; i < 8; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void writeBothEndian(std::span<uint8_t, 8> out, uint32_t value) {
    for (unsigned i = 0; i < 4; ++i) {
        const auto byte = static_cast<uint8_t>(value >> (8 * i));
        out[i] = byte;
        out[7 - i] = byte;
    }
}

}  // namespace kestrel
