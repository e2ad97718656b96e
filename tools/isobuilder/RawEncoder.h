// Turns a cooked image (2048-byte sectors) into a raw one: a BIN of 2352-byte sectors, each
// with its sync, header, for Mode 2 its XA subheader, the cooked sector's bytes and its error
// codes, and the CUE sheet that describes it. The cooked image's LBA n becomes raw sector n,
// addressed n + 150 (the two seconds before a disc's first sector) in its header.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrel::isobuilder {

inline constexpr uint32_t kRawSectorBytes = 2352;
inline constexpr uint32_t kForm2DataBytes = 2324;

enum class RawMode { Mode1, Mode2 };

// Sectors of a Mode 2 image stored in Form 2, as the frames of an XA stream file are. Such a
// sector's 2324 data bytes are the cooked sector's 2048 followed by form2Tail(lba), so that a
// reader taking 2048 bytes at offset 24 still sees the cooked image. Without `edc` the sector's
// EDC is left zero, as recording one is optional in Form 2.
struct Form2Extent {
    uint32_t lba = 0;
    uint32_t sectors = 0;
    bool edc = true;
};

struct RawEncoding {
    RawMode mode = RawMode::Mode1;
    std::vector<Form2Extent> form2;  // Mode 2 only
};

// The 276 bytes a Form 2 sector at `lba` holds beyond the cooked 2048: never all zero, and
// different from sector to sector.
std::vector<uint8_t> form2Tail(uint32_t lba);

// Encodes one sector from its 2048 cooked bytes.
void encodeSector(std::span<uint8_t, kRawSectorBytes> sector, uint32_t lba,
                  std::span<const uint8_t> cooked, const RawEncoding& encoding);

// Writes `binPath` from the image at `cookedPath`, a last partial sector padded with zeros,
// and `cuePath` as a single data track naming the BIN by its file name.
void writeRawImage(const std::string& cookedPath, const std::string& binPath,
                   const std::string& cuePath, const RawEncoding& encoding);

// "FILE "NAME.bin" BINARY / TRACK 01 MODE1/2352 / INDEX 01 00:00:00"
std::string cueSheet(const std::string& binFileName, RawMode mode);

}  // namespace kestrel::isobuilder
