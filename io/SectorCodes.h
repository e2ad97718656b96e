// The error codes of a raw 2352-byte CD sector: the EDC (a CRC-32 over the sector's header and
// data) and, for Mode 1 and Mode 2 Form 1, the P and Q Reed-Solomon parity bytes that let a
// drive correct it. A raw image whose user data is edited must have them written again, or
// drives and emulators report the sector as damaged.
//
// Layout of the three sector kinds (byte offsets):
//   all      0..11 sync (00, ten FF, 00), 12..14 BCD minute/second/frame, 15 mode
//   Mode 1   16..2063 data, 2064..2067 EDC over 0..2063, 2068..2075 zero,
//            2076..2247 P parity, 2248..2351 Q parity
//   Mode 2   16..23 XA subheader (file, channel, submode, coding; written twice)
//     Form 1 24..2071 data, 2072..2075 EDC over 16..2071, 2076..2351 P and Q as in Mode 1
//     Form 2 24..2347 data, 2348..2351 EDC over 16..2347, or zero where none was recorded
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

inline constexpr size_t kRawSectorSize = 2352;
inline constexpr size_t kSyncSize = 12;
inline constexpr size_t kHeaderOffset = 12;  // minute, second, frame, mode
inline constexpr size_t kModeOffset = 15;
inline constexpr size_t kSubheaderOffset = 16;
inline constexpr size_t kSubmodeOffset = 18;  // in the first copy of the subheader
inline constexpr size_t kMode1DataOffset = 16;
inline constexpr size_t kMode2DataOffset = 24;
inline constexpr size_t kForm1DataSize = 2048;
inline constexpr size_t kForm2DataSize = 2324;
inline constexpr uint8_t kSubmodeForm2 = 0x20;
// A disc's first sector, LBA 0, is at 00:02:00: the two seconds of lead-in before it.
inline constexpr uint32_t kMsfLbaOffset = 150;

using RawSector = std::span<uint8_t, kRawSectorSize>;
using ConstRawSector = std::span<const uint8_t, kRawSectorSize>;

enum class SectorKind {
    Mode1,
    Mode2Form1,
    Mode2Form2,
    Other,  // no sync, or a mode byte other than 1 or 2 (Mode 0, damage)
};

// What the sync, mode byte and (for Mode 2) submode say the sector is.
SectorKind sectorKind(ConstRawSector sector);

// Each writes the codes of its kind from the sector's header, subheader and data, leaving
// those unchanged. The P and Q parity of a Mode 2 Form 1 sector are computed with the header
// taken as zero, so that they stay valid when the sector is copied to another address.
// Mode 1 also gets its eight reserved bytes zeroed, as the format requires.
void writeMode1Codes(RawSector sector);
void writeMode2Form1Codes(RawSector sector);
// Always writes the EDC; a caller that keeps a sector without one leaves it zero itself.
void writeMode2Form2Codes(RawSector sector);
// Writes the codes `kind` has; nothing for SectorKind::Other.
void writeSectorCodes(RawSector sector, SectorKind kind);

// Whether the codes the sector's kind calls for are those its bytes give. A Form 2 sector's
// zero EDC holds (recording one is optional); a sector of kind Other never holds.
bool sectorCodesHold(ConstRawSector sector);

}  // namespace kestrel
