// The raw encoder's images are what the raw-image tests stand on: every sector must carry
// valid codes, hold the cooked image's bytes as its user data, and read back through bchunk,
// an independent converter, as exactly the cooked image.
#include "isobuilder/RawEncoder.h"

#include <gtest/gtest.h>

#include "io/SectorCodes.h"
#include "support/Images.h"
#include "support/RawImages.h"
#include "support/TestFiles.h"

namespace kestrel::isobuilder {
namespace {

using namespace kestrel::test;

constexpr uint32_t kStreamLba = 40;
constexpr uint32_t kStreamSectors = 4;

struct EncodingCase {
    const char* name;
    RawEncoding encoding;
};

class RawEncoderTest : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(RawEncoderTest, SectorsHoldTheCookedBytesWithValidCodes) {
    TempDir dir;
    const auto cooked = dir.file("twin.iso");
    IsoBuilder builder(Layout::CdRomXa, "RAW");
    const int many = builder.addDirectory(IsoBuilder::kRoot, "MANY");
    builder.setMinimumDirectorySectors(many, 3);
    builder.addFile(many, textFile("README.TXT;1", "read me", {}, 5000));
    builder.addFile(IsoBuilder::kRoot, fileAt("STREAM.STR;1", kStreamLba, kStreamSectors * 2048,
                                              pattern(kStreamSectors * 2048, 9)));
    builder.writeTo(cooked);
    const RawEncoding& encoding = GetParam().encoding;
    const RawTwin twin = writeRawTwin(cooked, encoding);

    const auto cookedBytes = readFileBytes(cooked);
    EXPECT_EQ(rawUserData(twin.bin), cookedBytes);
    EXPECT_EQ(sectorsWithBadCodes(twin.bin), std::vector<uint64_t>{});
    EXPECT_EQ(readBytesAt(twin.bin, 16 * kRawSectorSize + kHeaderOffset, 4),
              std::string({0x00, 0x02, 0x16, encoding.mode == RawMode::Mode1 ? '\1' : '\2'}));
    for (const Form2Extent& extent : encoding.form2) {
        const uint32_t lba = extent.lba + 1;
        const auto sector = readBytesAt(twin.bin, uint64_t{lba} * kRawSectorSize, kRawSectorSize);
        EXPECT_TRUE(sector[kSubmodeOffset] & kSubmodeForm2);
        const auto tail = form2Tail(lba);
        EXPECT_EQ(sector.substr(kMode2DataOffset + 2048, tail.size()),
                  std::string(tail.begin(), tail.end()));
        EXPECT_EQ(sector.substr(kRawSectorSize - 4) == std::string(4, '\0'), !extent.edc);
    }
    const auto converted = bchunkImage(twin);
    if (!haveCommand("bchunk")) {
        GTEST_SKIP() << "bchunk is not installed";
    }
    ASSERT_TRUE(converted.has_value());
    EXPECT_EQ(readFileBytes(*converted), cookedBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, RawEncoderTest,
    ::testing::Values(EncodingCase{"Mode1", {RawMode::Mode1, {}}},
                      EncodingCase{"Mode2WithAStream",
                                   {RawMode::Mode2, {{kStreamLba, kStreamSectors, true}}}},
                      EncodingCase{"Mode2WithAStreamWithoutEdc",
                                   {RawMode::Mode2, {{kStreamLba, kStreamSectors, false}}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::isobuilder
