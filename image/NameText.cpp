#include "image/NameText.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace kestrel {

namespace {

// The code point of the UTF-8 sequence at `at` and its length; nothing when the bytes there
// are not one (overlong forms, surrogates and code points beyond U+10FFFF are not).
std::optional<std::pair<char32_t, size_t>> decodeAt(std::string_view text, size_t at) {
    const auto lead = static_cast<uint8_t>(text[at]);
    if (lead < 0x80) {
        return std::pair{char32_t{lead}, size_t{1}};
    }
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || at + length > text.size()) {
        return std::nullopt;
    }
    char32_t code = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const auto next = static_cast<uint8_t>(text[at + i]);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        code = (code << 6) | (next & 0x3F);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return std::nullopt;
    }
    return std::pair{code, length};
}

bool isControl(char32_t code) {
    return code < 0x20 || (code >= 0x7F && code <= 0x9F);
}

std::string escaped(std::string_view utf8, bool keepLines) {
    std::string shown;
    shown.reserve(utf8.size());
    char escape[8];
    for (size_t at = 0; at < utf8.size();) {
        const auto decoded = decodeAt(utf8, at);
        if (!decoded) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<uint8_t>(utf8[at]));
            shown += escape;
            ++at;
            continue;
        }
        const auto [code, length] = *decoded;
        if (!isControl(code) || (keepLines && (code == '\n' || code == '\t'))) {
            shown += utf8.substr(at, length);
        } else if (code == '\n' || code == '\t' || code == '\r') {
            shown += code == '\n' ? "\\n" : code == '\t' ? "\\t" : "\\r";
        } else {
            std::snprintf(escape, sizeof escape, code < 0x80 ? "\\x%02x" : "\\u%04x",
                          static_cast<unsigned>(code));
            shown += escape;
        }
        at += length;
    }
    return shown;
}

}  // namespace

std::string utf8FromImageBytes(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (const char byte : bytes) {
        const auto code = static_cast<uint8_t>(byte);
        if (code < 0x80) {
            text += byte;
        } else {
            text += static_cast<char>(0xC0 | (code >> 6));
            text += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return text;
}

std::string shownName(std::string_view imageBytes) {
    return escaped(utf8FromImageBytes(imageBytes), false);
}

std::string shownRecordName(std::string_view imageBytes) {
    return imageBytes.empty() ? "(a record with an empty name)" : shownName(imageBytes);
}

std::string shownText(std::string_view utf8) {
    return escaped(utf8, false);
}

std::string shownMessage(std::string_view utf8) {
    return escaped(utf8, true);
}

std::string imageBytesFromUtf8(const std::string& text) {
    std::string bytes;
    for (size_t index = 0; index < text.size(); ++index) {
        const auto lead = static_cast<uint8_t>(text[index]);
        if (lead < 0x80) {
            bytes += text[index];
            continue;
        }
        // Only U+0080 to U+00FF map to one byte: a lead of C2 or C3 and one continuation.
        const bool latin1 = (lead == 0xC2 || lead == 0xC3) && index + 1 < text.size() &&
                            (static_cast<uint8_t>(text[index + 1]) & 0xC0) == 0x80;
        if (!latin1) {
            return text;
        }
        bytes += static_cast<char>(((lead & 0x03) << 6) | (text[++index] & 0x3F));
    }
    return bytes;
}

std::string utf8FromTypedBytes(std::string_view bytes) {
    bool beyondLatin1 = false;
    for (size_t at = 0; at < bytes.size();) {
        const auto decoded = decodeAt(bytes, at);
        if (!decoded) {
            return utf8FromImageBytes(bytes);
        }
        beyondLatin1 = beyondLatin1 || decoded->first > 0xFF;
        at += decoded->second;
    }
    return beyondLatin1 ? std::string(bytes) : utf8FromImageBytes(bytes);
}

bool sameInAnyCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

}  // namespace kestrel
