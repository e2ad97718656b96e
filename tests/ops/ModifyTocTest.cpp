#include "ops/ModifyToc.h"

#include <gtest/gtest.h>

#include "image/Volume.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

TEST(TocValueInput, IsReadTheWayAtolReadsIt) {
    const std::vector<std::pair<std::string, int32_t>> cases{
        {"1234", 1234},
        {"1A2B", 1},
        {" 42", 42},
        {"\t+7 ", 7},
        {"abc", 0},
        {"", 0},
        {"0x10", 0},
        {"-1", -1},
        {"- 5", 0},
        {"-0", 0},
        {"007", 7},
        {"2147483648", INT32_MIN},
        {"-2147483648", INT32_MIN},
        {"4294967295", -1},
        {"3000000000", -1294967296},
    };
    for (const auto& [text, value] : cases) {
        auto parsed = parseTocValue(text);
        ASSERT_TRUE(parsed) << '"' << text << '"';
        EXPECT_EQ(*parsed, value) << '"' << text << '"';
    }
}

TEST(TocValueInput, ValuesNoRecordFieldCanHoldAreRefused) {
    for (const std::string text :
         {"4294967296", "-2147483649", "99999999999999999999999999", "-99999999999999999999"}) {
        auto parsed = parseTocValue(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error().kind, ErrorKind::OutOfRange);
        EXPECT_NE(parsed.error().message.find(text), std::string::npos);
    }
}

TEST(ModifyTocRecord, ReadsTheRecordAndWritesBothValuesBackInBothByteOrders) {
    TempDir dir;
    const auto image = dir.file("toc.iso");
    IsoBuilder builder(Layout::Dvd, "TOC");
    builder.addFile(IsoBuilder::kRoot, recordOnly("GAME.BIN;1", 0x80000001, 0xFFFFFFF0));
    builder.setVolumeSectors(600);
    builder.writeTo(image);
    EditorState state;
    state.chooseImage(image);
    ASSERT_TRUE(openVolume(state));

    auto location = readTocRecord(state, IsoBuilder::kRoot, "GAME.BIN");
    ASSERT_TRUE(location);
    EXPECT_EQ(state.tocName, "GAME.BIN");
    EXPECT_EQ(state.tocLba, static_cast<int32_t>(0x80000001));
    EXPECT_EQ(state.tocSize, -16);

    const auto before = readFileBytes(image);
    state.tocLba = *parseTocValue("3000000000");
    state.tocSize = *parseTocValue("-5");
    ASSERT_TRUE(writeTocRecord(state, *location));
    EXPECT_EQ(readFileBytes(image), withBytesAt(before, location->recordOffset + 2,
                                                {0x00, 0x5E, 0xD0, 0xB2, 0xB2, 0xD0, 0x5E, 0x00,  //
                                                 0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFB}));

    EXPECT_FALSE(readTocRecord(state, IsoBuilder::kRoot, "OTHER.BIN"));
    EXPECT_EQ(state.tocName, "GAME.BIN");
}

}  // namespace
}  // namespace kestrel
