// Text and times as UDF records them: OSTA CS0 characters (a compression identifier, then
// 8-bit or big-endian 16-bit units; OSTA UDF 2.1.1 and 2.1.2) turned into UTF-8, and the
// 12-byte timestamp (ECMA-167 1/7.3) with its type and time zone.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kestrel {

// The characters of `field` as UTF-8, the first byte being the compression identifier (8 or
// 254: Latin-1; 16 or 255: UTF-16BE). An unknown identifier, a cut-short unit or a lone
// surrogate becomes U+FFFD, so that any bytes give a name and no byte is dropped silently.
std::string udfCharacters(std::span<const uint8_t> field);

// A fixed-length dstring: the characters of its first bytes, as many as its last byte says.
std::string udfDstring(std::span<const uint8_t> field);

struct UdfTimestamp {
    uint8_t type = 0;                      // 1: local time, as the volume's recorder keeps it
    std::optional<int16_t> offsetMinutes;  // east of UTC; none when not specified
    int16_t year = 0;
    uint8_t month = 0;
    uint8_t day = 0;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
    uint8_t centiseconds = 0;
    uint8_t hundredsOfMicroseconds = 0;
    uint8_t microseconds = 0;

    // Seconds since 1970-01-01 UTC, the recorded time zone taken off (a time without one is
    // taken as UTC); nothing for a date that names no real day.
    std::optional<int64_t> utcSeconds() const;
    bool operator==(const UdfTimestamp&) const = default;
};

inline constexpr size_t kUdfTimestampSize = 12;

UdfTimestamp readUdfTimestamp(std::span<const uint8_t, kUdfTimestampSize> bytes);

// "UDF 2.50" for 0x0250.
std::string udfRevisionText(uint16_t revision);

}  // namespace kestrel
