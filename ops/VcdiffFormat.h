// The parts of VCDIFF (RFC 3284) that Kestrel's patches use, shared by their writer and their
// reader: the header, windows whose source segment lies at the target window's own offsets,
// and three instructions of the default code table, each with its size given apart. xdelta3
// adds an Adler-32 of each target window behind the section lengths, flagged in the window
// indicator, and checks it as it applies the patch.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kestrel::vcdiff {

inline constexpr std::array<uint8_t, 4> kMagic = {0xd6, 0xc3, 0xc4, 0x00};
// Hdr_Indicator: VCD_DECOMPRESS and VCD_CODETABLE are never set; VCD_APPHEADER always is.
inline constexpr uint8_t kApplicationHeader = 0x04;
// Win_Indicator: VCD_SOURCE, and xdelta3's VCD_ADLER32.
inline constexpr uint8_t kFromSource = 0x01;
inline constexpr uint8_t kAdler32 = 0x04;
// Default code table entries whose size follows the code: RUN, ADD, and COPY in address mode
// VCD_SELF, whose address is the plain position in the source segment.
inline constexpr uint8_t kRun = 0;
inline constexpr uint8_t kAdd = 1;
inline constexpr uint8_t kCopySelf = 19;

// xdelta3's default window; a patch of large edits holds one window's data in memory at once.
inline constexpr uint64_t kWindowSize = uint64_t{8} << 20;

// Integers are written most significant seven bits first, the high bit set on all but the
// last byte.
void putInteger(std::vector<uint8_t>& out, uint64_t value);
size_t integerSize(uint64_t value);
// Reads one from `bytes` at `at`, moving `at` past it; nothing when it is cut short or does
// not fit 64 bits.
std::optional<uint64_t> getInteger(std::span<const uint8_t> bytes, size_t& at);

}  // namespace kestrel::vcdiff
