#include "ops/ModifyToc.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace kestrel {

namespace {

constexpr int64_t kBeyondAnyRange = (int64_t{1} << 32) + 1;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

Result<int64_t> parseTocValue(std::string_view text, TocRange range) {
    const auto refuse = [text](const std::string& why) {
        return Error{ErrorKind::OutOfRange, '"' + std::string(text) + "\" " + why};
    };
    size_t at = 0;
    while (at < text.size() && isBlank(text[at])) {
        ++at;
    }
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        ++at;
    }
    const size_t firstDigit = at;
    // Counting stops just past any range's ends, so no number of digits can overflow.
    int64_t magnitude = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        magnitude = std::min(magnitude * 10 + (text[at] - '0'), kBeyondAnyRange);
    }
    if (at == firstDigit || at != text.size()) {
        return refuse("is not a decimal number");
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < range.lowest || value > range.highest) {
        return refuse("is outside " + std::to_string(range.lowest) + " to " +
                      std::to_string(range.highest));
    }
    return value;
}

Result<PatchOutcome> modifyToc(Session& session, DirectoryNumber directory,
                               const RecordLocation& location, const RecordFields& fields,
                               bool keepUndo) {
    if (auto single = requireOneExtent(location); !single) {
        return single.error();
    }
    auto edit =
        session.beginEdit({EditKind::ModifyToc, 1, 0, nameOf(location.identifier), 0, 0}, keepUndo);
    if (!edit) {
        return edit.error();
    }
    auto patched = session.patchRecord(*edit, directory, location, fields);
    if (!patched) {
        return patched;
    }
    if (auto completed = edit->complete(); !completed) {
        return completed.error();
    }
    return patched;
}

}  // namespace kestrel
