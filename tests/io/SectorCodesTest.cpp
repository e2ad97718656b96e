#include "io/SectorCodes.h"

#include <gtest/gtest.h>

#include <random>
#include <utility>
#include <vector>

#include "io/ReferenceSectorCodes.h"

namespace kestrel {
namespace {

using test::ReferenceKind;
using test::referenceWriteCodes;
using test::Sector;

struct KindCase {
    SectorKind kind;
    ReferenceKind reference;
    uint8_t mode;
    uint8_t submode;
};

// A sector of random bytes under a valid sync, mode byte and (for Mode 2) submode.
Sector randomSector(std::mt19937& random, const KindCase& kind) {
    Sector sector;
    for (uint8_t& byte : sector) {
        byte = static_cast<uint8_t>(random());
    }
    std::fill_n(sector.begin(), kSyncSize, 0xFF);
    sector[0] = sector[kSyncSize - 1] = 0;
    sector[kModeOffset] = kind.mode;
    sector[kSubmodeOffset] = sector[kSubmodeOffset + 4] = kind.submode;
    return sector;
}

TEST(SectorCodesTest, AgreeWithTheDefinitionsOnRandomSectors) {
    const KindCase cases[] = {
        {SectorKind::Mode1, ReferenceKind::Mode1, 1, 0x08},
        {SectorKind::Mode2Form1, ReferenceKind::Mode2Form1, 2, 0x08},
        {SectorKind::Mode2Form2, ReferenceKind::Mode2Form2, 2, 0x64},
    };
    std::mt19937 random(2352);
    for (const KindCase& kind : cases) {
        for (int i = 0; i < 20; ++i) {
            Sector fast = randomSector(random, kind);
            Sector reference = fast;
            ASSERT_EQ(sectorKind(fast), kind.kind);
            writeSectorCodes(fast, kind.kind);
            referenceWriteCodes(reference, kind.reference);
            ASSERT_EQ(fast, reference)
                << "kind " << static_cast<int>(kind.reference) << ", sector " << i;
            EXPECT_TRUE(sectorCodesHold(fast));
            fast[kMode2DataOffset + 100] ^= 0x10;
            EXPECT_FALSE(sectorCodesHold(fast));
        }
    }
}

// Sectors whose codes were published elsewhere. The Mode 1 sector at 00:02:00 with zero data
// matches the SHA-256 of the whole sector and of bytes 2076..2351 pinned by a public CD tool's
// reference values (checked there against a pressed disc); the Form 2 sector with zero data
// and submode 0x20 has the EDC 3F 13 B0 BE that write-ups of pressed game discs quote.
TEST(SectorCodesTest, MatchPublishedSectors) {
    struct Case {
        uint8_t frame, mode, submode;
        std::vector<std::pair<size_t, uint8_t>> nonzeroCodes;  // every other code byte is zero
    };
    const Case cases[] = {
        {0x00, 1, 0x00, {{2064, 0xC5}, {2065, 0x13}, {2066, 0x68}, {2067, 0x2B}, {2077, 0xF7},
                         {2079, 0xF5}, {2150, 0x52}, {2151, 0x35}, {2152, 0xB8}, {2153, 0x7D},
                         {2163, 0xF5}, {2165, 0xF4}, {2236, 0x97}, {2237, 0x26}, {2238, 0xD0},
                         {2239, 0x56}, {2249, 0x41}, {2270, 0x2D}, {2271, 0x17}, {2272, 0x2E},
                         {2273, 0x1B}, {2274, 0xB1}, {2275, 0x48}, {2276, 0xB2}, {2277, 0x44},
                         {2295, 0x65}, {2297, 0xC2}, {2299, 0xE6}, {2301, 0x43}, {2322, 0x45},
                         {2323, 0x3C}, {2324, 0x53}, {2325, 0x75}, {2326, 0x33}, {2327, 0x2B},
                         {2328, 0x25}, {2329, 0x62}, {2347, 0x90}, {2349, 0xC1}, {2351, 0x12}}},
        {0x16, 2, kSubmodeForm2, {{2348, 0x3F}, {2349, 0x13}, {2350, 0xB0}, {2351, 0xBE}}},
    };
    for (const Case& c : cases) {
        Sector sector{};
        std::fill_n(sector.begin() + 1, kSyncSize - 2, 0xFF);
        sector[kHeaderOffset + 1] = 0x02;
        sector[kHeaderOffset + 2] = c.frame;
        sector[kModeOffset] = c.mode;
        sector[kSubmodeOffset] = sector[kSubmodeOffset + 4] = c.submode;
        Sector expected = sector;
        for (const auto& [offset, value] : c.nonzeroCodes) {
            expected[offset] = value;
        }
        writeSectorCodes(sector, sectorKind(sector));
        EXPECT_EQ(sector, expected) << "mode " << static_cast<int>(c.mode);
    }
}

}  // namespace
}  // namespace kestrel
