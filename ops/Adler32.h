// Adler-32 (RFC 1950), the checksum xdelta3 keeps of each target window of a VCDIFF patch and
// checks as it applies one.
#pragma once

#include <cstdint>
#include <span>

namespace kestrel {

inline constexpr uint32_t kAdler32Start = 1;

// `adler` carried on over `bytes`.
uint32_t adler32(uint32_t adler, std::span<const uint8_t> bytes);
// `adler` carried on over `count` zero bytes, without them: a gigabyte blanked costs nothing.
uint32_t adler32OfZeros(uint32_t adler, uint64_t count);

}  // namespace kestrel
