#include "ops/ModifyToc.h"

#include <gtest/gtest.h>

#include <optional>

namespace kestrel {
namespace {

// Read the way atol reads, kept as 32 bits; what no record field can hold is refused.
TEST(TocValueInput, IsReadTheWayAtolReadsItAndRefusedBeyondThirtyTwoBits) {
    const std::vector<std::pair<std::string, std::optional<int32_t>>> cases{
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
        {"4294967296", std::nullopt},
        {"-2147483649", std::nullopt},
        {"99999999999999999999999999", std::nullopt},
        {"-99999999999999999999", std::nullopt},
    };
    for (const auto& [text, value] : cases) {
        SCOPED_TRACE('"' + text + '"');
        const auto parsed = parseTocValue(text);
        ASSERT_EQ(parsed.ok(), value.has_value());
        if (value) {
            EXPECT_EQ(*parsed, *value);
        } else {
            EXPECT_EQ(parsed.error().kind, ErrorKind::OutOfRange);
            EXPECT_NE(parsed.error().message.find(text), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace kestrel
