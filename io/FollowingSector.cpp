#include "io/FollowingSector.h"

#include <algorithm>
#include <optional>

namespace kestrel {

namespace {

constexpr uint32_t kFramesPerSecond = 75;
constexpr uint32_t kSecondsPerMinute = 60;
// Plain data, file 0 and channel 0, as a Form 1 sector of a data track holds.
constexpr uint8_t kDataSubheader[4] = {0x00, 0x00, 0x08, 0x00};

std::optional<uint32_t> fromBcd(uint8_t value) {
    if ((value >> 4) > 9 || (value & 0x0F) > 9) {
        return std::nullopt;
    }
    return (value >> 4) * 10u + (value & 0x0Fu);
}

uint8_t toBcd(uint32_t value) {
    return static_cast<uint8_t>((value / 10) << 4 | (value % 10));
}

}  // namespace

Result<void> makeFollowingSector(ConstRawSector previous, RawSector sector, uint64_t after) {
    const SectorKind kind = sectorKind(previous);
    const auto minute = fromBcd(previous[kHeaderOffset]);
    const auto second = fromBcd(previous[kHeaderOffset + 1]);
    const auto frame = fromBcd(previous[kHeaderOffset + 2]);
    if (kind == SectorKind::Other || !minute || !second || !frame || *second >= kSecondsPerMinute ||
        *frame >= kFramesPerSecond) {
        return Error{ErrorKind::CorruptImage,
                     "the track's last sector is no data sector with an address, so no sector "
                     "can be made to follow it"};
    }
    // Past 99:59:74 the minutes wrap, as long images' addresses do.
    const auto address = static_cast<uint32_t>(
        ((*minute * kSecondsPerMinute + *second) * kFramesPerSecond + *frame + after) %
        (100 * kSecondsPerMinute * kFramesPerSecond));
    std::ranges::fill(sector, uint8_t{0});
    std::copy_n(previous.begin(), kSyncSize, sector.begin());
    sector[kHeaderOffset] = toBcd(address / (kSecondsPerMinute * kFramesPerSecond));
    sector[kHeaderOffset + 1] = toBcd(address / kFramesPerSecond % kSecondsPerMinute);
    sector[kHeaderOffset + 2] = toBcd(address % kFramesPerSecond);
    sector[kModeOffset] = previous[kModeOffset];
    if (kind == SectorKind::Mode1) {
        writeMode1Codes(sector);
        return {};
    }
    std::copy_n(kDataSubheader, 4, sector.begin() + kSubheaderOffset);
    std::copy_n(kDataSubheader, 4, sector.begin() + kSubheaderOffset + 4);
    writeMode2Form1Codes(sector);
    return {};
}

}  // namespace kestrel
