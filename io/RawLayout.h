// How a raw CD image holds its sectors: 2352 bytes each (sync, header, for Mode 2 an XA
// subheader, the user data, error codes), the ISO 9660 volume in one data track of a file.
// The walks and the edits see only the user data, 2048 bytes per sector, at the positions a
// cooked image would have them ("cooked offsets"); this maps those to the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/SectorCodes.h"

namespace kestrel {

inline constexpr uint64_t kUserDataSize = kForm1DataSize;

struct RawLayout {
    uint64_t firstByte = 0;  // where the track's first sector, the volume's LBA 0, starts
    uint64_t sectors = 0;    // how many whole sectors the track has
    uint8_t mode = 1;        // 1 or 2, as every sector's header must say

    size_t userDataOffset() const { return mode == 1 ? kMode1DataOffset : kMode2DataOffset; }
    uint64_t sectorOffset(uint64_t lba) const { return firstByte + lba * kRawSectorSize; }
    uint64_t userBytes() const { return sectors * kUserDataSize; }
    bool operator==(const RawLayout&) const = default;
};

// The file that holds an image's sectors, and how: cooked (2048-byte sectors, the file's
// bytes are the user data) when `raw` is empty.
struct ImageContainer {
    std::string dataPath;
    std::optional<RawLayout> raw;
    // How messages name the image when not by its data file: the cue sheet the user chose,
    // or the layer of the user's image a private copy holds. The user knows neither file.
    std::string shownPath;
};

}  // namespace kestrel
