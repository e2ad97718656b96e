#include "support/RawImages.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>
#include <stdexcept>

#include "io/SectorCodes.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

constexpr size_t kCookedBytes = 2048;
constexpr size_t kSectorsPerChunk = 256;

// Calls `visit(lba, sector)` for each whole sector of the BIN from `firstLba`, `sectors` at most.
template <class Visit>
void forEachSector(const std::string& binPath, uint64_t firstLba, uint64_t sectors, Visit visit) {
    std::ifstream bin(binPath, std::ios::binary);
    if (!bin.seekg(static_cast<std::streamoff>(firstLba * kRawSectorSize))) {
        throw std::runtime_error("cannot read " + binPath);
    }
    std::vector<uint8_t> chunk(kSectorsPerChunk * kRawSectorSize);
    for (uint64_t lba = firstLba; lba - firstLba < sectors;) {
        bin.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        const size_t whole = static_cast<size_t>(bin.gcount()) / kRawSectorSize;
        for (size_t i = 0; i < whole && lba - firstLba < sectors; ++i, ++lba) {
            visit(lba, ConstRawSector(chunk.data() + i * kRawSectorSize, kRawSectorSize));
        }
        if (whole < kSectorsPerChunk) {
            return;
        }
    }
}

}  // namespace

RawTwin writeRawTwin(const std::string& cookedPath, const RawEncoding& encoding) {
    const std::filesystem::path cooked(cookedPath);
    const std::string stem = (cooked.parent_path() / cooked.stem()).string();
    RawTwin twin{stem + ".bin", stem + ".cue"};
    isobuilder::writeRawImage(cookedPath, twin.bin, twin.cue, encoding);
    return twin;
}

std::vector<uint8_t> rawUserData(const std::string& binPath, uint64_t firstLba, uint64_t sectors) {
    std::vector<uint8_t> data;
    forEachSector(binPath, firstLba, sectors, [&](uint64_t, ConstRawSector sector) {
        const size_t offset = sector[kModeOffset] == 1 ? kMode1DataOffset : kMode2DataOffset;
        data.insert(data.end(), sector.begin() + offset, sector.begin() + offset + kCookedBytes);
    });
    return data;
}

std::vector<uint64_t> sectorsWithBadCodes(const std::string& binPath) {
    std::vector<uint64_t> bad;
    forEachSector(binPath, 0, UINT64_MAX, [&](uint64_t lba, ConstRawSector sector) {
        if (!sectorCodesHold(sector)) {
            bad.push_back(lba);
        }
    });
    return bad;
}

std::optional<std::string> bchunkImage(const RawTwin& twin) {
    const std::string base = twin.bin + "-bchunk";
    if (!haveCommand("bchunk") ||
        !commandOutput("bchunk '" + twin.bin + "' '" + twin.cue + "' '" + base + "' 2>&1")) {
        return std::nullopt;
    }
    const std::string image = base + "01.iso";
    return std::filesystem::exists(image) ? std::optional(image) : std::nullopt;
}

}  // namespace kestrel::test
