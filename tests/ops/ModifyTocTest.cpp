#include "ops/ModifyToc.h"

#include <gtest/gtest.h>

#include <variant>

namespace kestrel {
namespace {

// What a field makes of a text: the value read, or why it was refused.
using Reading = std::variant<int64_t, const char*>;

constexpr const char* kNotANumber = "is not a decimal number";
constexpr const char* kOutsideLba = "is outside -2147483648 to 4294967295";
constexpr const char* kOutsideSize = "is outside 0 to 4294967295";

TEST(TocValueInput, EachFieldTakesOnlyADecimalNumberInItsOwnRange) {
    struct Case {
        std::string text;
        Reading lba;
        Reading size;
    };
    std::vector<Case> cases{
        {"1234", 1234, 1234},
        {" \t+7", 7, 7},
        {"-0", 0, 0},
        {"-1", -1, kOutsideSize},
        {"-2147483648", INT32_MIN, kOutsideSize},
        {"4294967295", UINT32_MAX, UINT32_MAX},
    };
    for (const char* text :
         {"-2147483649", "4294967296", "99999999999999999999999999", "-99999999999999999999"}) {
        cases.push_back({text, kOutsideLba, kOutsideSize});
    }
    for (const char* text : {"", "abc", "0x1F", "230x", "7 ", "- 5", "+"}) {
        cases.push_back({text, kNotANumber, kNotANumber});
    }
    for (const auto& [text, lba, size] : cases) {
        for (const auto& [range, expected] :
             {std::pair(kTocLbaRange, lba), {kTocSizeRange, size}}) {
            const auto parsed = parseTocValue(text, range);
            if (const auto* value = std::get_if<int64_t>(&expected)) {
                ASSERT_TRUE(parsed) << '"' << text << "\": " << parsed.error().message;
                EXPECT_EQ(*parsed, *value) << '"' << text << '"';
            } else {
                ASSERT_FALSE(parsed) << '"' << text << '"';
                EXPECT_EQ(parsed.error().message,
                          '"' + text + "\" " + std::get<const char*>(expected));
            }
        }
    }
}

}  // namespace
}  // namespace kestrel
