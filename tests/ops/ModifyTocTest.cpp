#include "ops/ModifyToc.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

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

}  // namespace
}  // namespace kestrel
