#include "ops/ModifyToc.h"

#include <algorithm>
#include <cstdint>

namespace kestrel {

namespace {

constexpr int64_t kLowest = INT32_MIN;
constexpr int64_t kHighest = UINT32_MAX;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

Result<int32_t> parseTocValue(std::string_view text) {
    size_t at = 0;
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        ++at;
    }
    // Counting stops just past the accepted range, so no number of digits can overflow.
    int64_t magnitude = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        magnitude = std::min<int64_t>(magnitude * 10 + (text[at] - '0'), kHighest + 1);
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < kLowest || value > kHighest) {
        return Error{ErrorKind::OutOfRange,
                     std::string(text) +
                         " is outside -2147483648 to 4294967295, the values a "
                         "directory record's 32-bit fields hold"};
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace kestrel
