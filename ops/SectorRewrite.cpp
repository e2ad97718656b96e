#include "ops/SectorRewrite.h"

#include <algorithm>
#include <cstring>

#include "io/RawImage.h"
#include "io/SectorCodes.h"

namespace kestrel {

namespace {

constexpr size_t kEdcSize = 4;

bool hasEdc(ConstRawSector sector) {
    return std::ranges::any_of(sector.last(kEdcSize), [](uint8_t byte) { return byte != 0; });
}

void putUserData(RawSector sector, const RawLayout& layout, size_t from,
                 std::span<const uint8_t> bytes) {
    std::memcpy(sector.data() + layout.userDataOffset() + from, bytes.data(), bytes.size());
    const auto kind = sectorKind(sector);
    if (kind == SectorKind::Mode2Form2) {
        const bool edc = hasEdc(sector);
        if (from + bytes.size() == kUserDataSize) {
            std::ranges::fill(
                sector.subspan(kMode2DataOffset + kUserDataSize, kForm2DataSize - kUserDataSize),
                uint8_t{0});
        }
        writeMode2Form2Codes(sector);
        if (!edc) {
            std::ranges::fill(sector.last(kEdcSize), uint8_t{0});
        }
        return;
    }
    writeSectorCodes(sector, kind);
}

}  // namespace

Result<void> prepareSectorRewrite(const ImageFile& file, const RawLayout& layout, uint64_t offset,
                                  std::span<const uint8_t> bytes, SectorRewrite& rewrite,
                                  bool keepOld) {
    const uint64_t first = offset / kUserDataSize;
    const uint64_t count = (offset + bytes.size() + kUserDataSize - 1) / kUserDataSize - first;
    rewrite.firstLba = first;
    rewrite.newSectors.resize(count * kRawSectorSize);
    for (uint64_t done = 0; done < count;) {
        const auto read =
            readRawSectors(file, layout, first + done,
                           std::span(rewrite.newSectors).subspan(done * kRawSectorSize));
        if (!read) {
            return read.error();
        }
        if (*read == 0) {
            return Error{ErrorKind::OutOfRange, "Refused to write sector " +
                                                    std::to_string(first + done) + " of " +
                                                    file.path() + ": the track ends before it"};
        }
        done += *read;
    }
    if (keepOld) {
        rewrite.oldSectors = rewrite.newSectors;
    }
    for (size_t done = 0; done < bytes.size();) {
        const uint64_t at = offset + done;
        const size_t within = at % kUserDataSize;
        const size_t length = std::min(kUserDataSize - within, bytes.size() - done);
        const auto sector =
            RawSector(std::span(rewrite.newSectors)
                          .subspan((at / kUserDataSize - first) * kRawSectorSize, kRawSectorSize));
        putUserData(sector, layout, within, bytes.subspan(done, length));
        done += length;
    }
    return {};
}

bool carriesUserData(const SectorRewrite& rewrite, const RawLayout& layout, uint64_t offset,
                     std::span<const uint8_t> bytes) {
    if (offset / kUserDataSize < rewrite.firstLba ||
        (offset + bytes.size() + kUserDataSize - 1) / kUserDataSize >
            rewrite.firstLba + rewrite.sectorCount()) {
        return false;
    }
    for (size_t done = 0; done < bytes.size();) {
        const uint64_t at = offset + done;
        const size_t within = at % kUserDataSize;
        const size_t length = std::min(kUserDataSize - within, bytes.size() - done);
        const size_t place = (at / kUserDataSize - rewrite.firstLba) * kRawSectorSize +
                             layout.userDataOffset() + within;
        if (std::memcmp(rewrite.newSectors.data() + place, bytes.data() + done, length) != 0) {
            return false;
        }
        done += length;
    }
    return true;
}

}  // namespace kestrel
