#include "image/UdfNames.h"

#include <cstdio>

#include "image/ByteOrder.h"

namespace kestrel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr int16_t kNoTimeZone = -2047;

void appendUtf8(std::string& text, char32_t c) {
    if (c < 0x80) {
        text += static_cast<char>(c);
    } else if (c < 0x800) {
        text += static_cast<char>(0xC0 | c >> 6);
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        text += static_cast<char>(0xE0 | c >> 12);
        text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | c >> 18);
        text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string utf16BigEndian(std::span<const uint8_t> units) {
    std::string text;
    size_t at = 0;
    auto unit = [&] { return static_cast<char32_t>(units[at] << 8 | units[at + 1]); };
    for (; at + 1 < units.size(); at += 2) {
        const char32_t high = unit();
        if (high >= 0xD800 && high < 0xDC00 && at + 3 < units.size()) {
            at += 2;
            const char32_t low = unit();
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(text, 0x10000 + ((high - 0xD800) << 10) + (low - 0xDC00));
                continue;
            }
            at -= 2;
        }
        appendUtf8(text, high >= 0xD800 && high < 0xE000 ? kReplacement : high);
    }
    if (at < units.size()) {
        appendUtf8(text, kReplacement);
    }
    return text;
}

// Days from 1970-01-01 to the given civil date (Howard Hinnant's days_from_civil).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

}  // namespace

std::string udfCharacters(std::span<const uint8_t> field) {
    if (field.empty()) {
        return {};
    }
    const auto units = field.subspan(1);
    switch (field[0]) {
        case 8:
        case 254: {
            std::string text;
            for (const uint8_t c : units) {
                appendUtf8(text, c);
            }
            return text;
        }
        case 16:
        case 255:
            return utf16BigEndian(units);
        default: {
            std::string text;
            appendUtf8(text, kReplacement);
            return text;
        }
    }
}

std::string udfDstring(std::span<const uint8_t> field) {
    if (field.empty()) {
        return {};
    }
    const size_t length = field.back();
    return length < field.size() ? udfCharacters(field.first(length)) : std::string{};
}

UdfTimestamp readUdfTimestamp(std::span<const uint8_t, kUdfTimestampSize> bytes) {
    const uint16_t typeAndZone = readLe16(bytes, 0);
    UdfTimestamp time;
    time.type = static_cast<uint8_t>(typeAndZone >> 12);
    // The zone is a 12-bit two's-complement count of minutes.
    const auto zone = static_cast<int16_t>(static_cast<int16_t>(typeAndZone << 4) >> 4);
    if (zone != kNoTimeZone && zone >= -1440 && zone <= 1440) {
        time.offsetMinutes = zone;
    }
    time.year = static_cast<int16_t>(readLe16(bytes, 2));
    time.month = bytes[4];
    time.day = bytes[5];
    time.hour = bytes[6];
    time.minute = bytes[7];
    time.second = bytes[8];
    time.centiseconds = bytes[9];
    time.hundredsOfMicroseconds = bytes[10];
    time.microseconds = bytes[11];
    return time;
}

std::optional<int64_t> UdfTimestamp::utcSeconds() const {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return std::nullopt;
    }
    const int64_t local =
        daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return local - int64_t{offsetMinutes.value_or(0)} * 60;
}

std::string udfRevisionText(uint16_t revision) {
    char text[16];
    std::snprintf(text, sizeof text, "UDF %x.%02x", revision >> 8, revision & 0xFFu);
    return text;
}

}  // namespace kestrel
