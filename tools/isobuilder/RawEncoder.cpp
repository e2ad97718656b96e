#include "isobuilder/RawEncoder.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "io/SectorCodes.h"

namespace kestrel::isobuilder {
namespace {

static_assert(kRawSectorBytes == kRawSectorSize && kForm2DataBytes == kForm2DataSize);

constexpr uint32_t kCookedBytes = 2048;
constexpr uint32_t kSectorsPerChunk = 256;

// XA subheaders (file, channel, submode, coding): plain data for Form 1; for Form 2 a
// real-time audio frame of channel 1 in file 1, as in an interleaved stream.
constexpr uint8_t kForm1Subheader[4] = {0x00, 0x00, 0x08, 0x00};
constexpr uint8_t kForm2Subheader[4] = {0x01, 0x01, 0x64, 0x00};

uint8_t bcd(uint32_t value) {
    return static_cast<uint8_t>((value / 10) << 4 | (value % 10));
}

const Form2Extent* form2ExtentOf(uint32_t lba, const RawEncoding& encoding) {
    for (const Form2Extent& extent : encoding.form2) {
        if (lba >= extent.lba && lba - extent.lba < extent.sectors) {
            return &extent;
        }
    }
    return nullptr;
}

}  // namespace

std::vector<uint8_t> form2Tail(uint32_t lba) {
    std::vector<uint8_t> tail(kForm2DataBytes - kCookedBytes);
    for (size_t i = 0; i < tail.size(); ++i) {
        tail[i] = static_cast<uint8_t>((lba * 31 + i * 7) % 255 + 1);
    }
    return tail;
}

void encodeSector(std::span<uint8_t, kRawSectorBytes> sector, uint32_t lba,
                  std::span<const uint8_t> cooked, const RawEncoding& encoding) {
    std::fill(sector.begin(), sector.end(), 0);
    std::fill_n(sector.begin() + 1, kSyncSize - 2, 0xFF);
    // A disc holds 100 minutes at most; longer test images wrap, keeping every digit BCD.
    const uint32_t address = lba + kMsfLbaOffset;
    sector[kHeaderOffset] = bcd(address / (60 * 75) % 100);
    sector[kHeaderOffset + 1] = bcd(address / 75 % 60);
    sector[kHeaderOffset + 2] = bcd(address % 75);
    if (encoding.mode == RawMode::Mode1) {
        sector[kModeOffset] = 1;
        std::copy(cooked.begin(), cooked.end(), sector.begin() + kMode1DataOffset);
        writeMode1Codes(sector);
        return;
    }
    sector[kModeOffset] = 2;
    const Form2Extent* form2 = form2ExtentOf(lba, encoding);
    const uint8_t* subheader = form2 ? kForm2Subheader : kForm1Subheader;
    std::copy_n(subheader, 4, sector.begin() + kSubheaderOffset);
    std::copy_n(subheader, 4, sector.begin() + kSubheaderOffset + 4);
    std::copy(cooked.begin(), cooked.end(), sector.begin() + kMode2DataOffset);
    if (!form2) {
        writeMode2Form1Codes(sector);
        return;
    }
    const auto tail = form2Tail(lba);
    std::copy(tail.begin(), tail.end(), sector.begin() + kMode2DataOffset + kCookedBytes);
    if (form2->edc) {
        writeMode2Form2Codes(sector);
    }
}

void writeRawImage(const std::string& cookedPath, const std::string& binPath,
                   const std::string& cuePath, const RawEncoding& encoding) {
    if (encoding.mode == RawMode::Mode1 && !encoding.form2.empty()) {
        throw std::invalid_argument("Form 2 sectors need a Mode 2 image");
    }
    std::ifstream cooked(cookedPath, std::ios::binary);
    std::ofstream bin(binPath, std::ios::binary | std::ios::trunc);
    if (!cooked || !bin) {
        throw std::runtime_error("cannot open " + (cooked ? binPath : cookedPath));
    }
    std::vector<uint8_t> in(kSectorsPerChunk * kCookedBytes);
    std::vector<uint8_t> out(kSectorsPerChunk * kRawSectorBytes);
    for (uint32_t lba = 0;;) {
        cooked.read(reinterpret_cast<char*>(in.data()), static_cast<std::streamsize>(in.size()));
        const size_t got = static_cast<size_t>(cooked.gcount());
        const size_t sectors = (got + kCookedBytes - 1) / kCookedBytes;
        std::fill(in.begin() + static_cast<std::ptrdiff_t>(got), in.end(), 0);
        for (size_t i = 0; i < sectors; ++i, ++lba) {
            encodeSector(std::span(out).subspan(i * kRawSectorBytes).first<kRawSectorBytes>(), lba,
                         std::span(in).subspan(i * kCookedBytes, kCookedBytes), encoding);
        }
        bin.write(reinterpret_cast<const char*>(out.data()),
                  static_cast<std::streamsize>(sectors * kRawSectorBytes));
        if (got < in.size()) {
            break;
        }
    }
    std::ofstream cue(cuePath, std::ios::trunc);
    cue << cueSheet(std::filesystem::path(binPath).filename().string(), encoding.mode);
    bin.close();
    cue.close();
    if (cooked.bad() || !bin || !cue) {
        throw std::runtime_error("cannot write " + binPath + " and " + cuePath);
    }
}

std::string cueSheet(const std::string& binFileName, RawMode mode) {
    return "FILE \"" + binFileName + "\" BINARY\n  TRACK 01 " +
           (mode == RawMode::Mode1 ? "MODE1/2352" : "MODE2/2352") + "\n    INDEX 01 00:00:00\n";
}

}  // namespace kestrel::isobuilder
