// Encoders for the fixed-width fields of ISO 9660 structures. "Both-endian" numbers are
// recorded twice, little-endian first, then big-endian.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string_view>

namespace kestrel::isobuilder {

inline void putLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value);
    at[1] = static_cast<uint8_t>(value >> 8);
}

inline void putBe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

inline void putLe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void putBe32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[3 - i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline void putBoth16(uint8_t* at, uint16_t value) {
    putLe16(at, value);
    putBe16(at + 2, value);
}

inline void putBoth32(uint8_t* at, uint32_t value) {
    putLe32(at, value);
    putBe32(at + 4, value);
}

// Identifier fields are padded with blanks, not zeros; readers trim the blanks.
inline void putPadded(uint8_t* at, size_t width, std::string_view text) {
    std::fill(at, at + width, uint8_t{' '});
    std::copy_n(text.begin(), std::min(width, text.size()), at);
}

}  // namespace kestrel::isobuilder
