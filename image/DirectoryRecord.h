// One ISO 9660 directory record as this editor reads it. Only the extent (offsets 2-9) and
// the data length (10-17) are ever written back; everything else is read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

namespace record {
inline constexpr size_t kLength = 0;
inline constexpr size_t kExtentLba = 2;
inline constexpr size_t kDataLength = 10;
inline constexpr size_t kYear = 18;
inline constexpr size_t kMonth = 19;
inline constexpr size_t kDay = 20;
inline constexpr size_t kFlags = 25;
inline constexpr size_t kIdentifierLength = 32;
inline constexpr size_t kIdentifier = 33;
// The fixed part plus a one-byte identifier; anything shorter cannot be a record.
inline constexpr size_t kMinimumLength = 34;
inline constexpr size_t kMaximumLength = 255;
}  // namespace record

inline constexpr uint8_t kDirectoryFlag = 0x02;
// Another record of the same name follows with the file's next extent: ISO 9660 level 3 stores a
// file of 4 GiB or more as several records, every one but the last carrying this flag.
inline constexpr uint8_t kMultiExtentFlag = 0x80;

// An identifier less its version suffix (";1"); one without a version (a relocated directory's
// placeholder, an image mastered without versions) is its whole name.
std::string nameOf(const std::string& identifier);

// A file's data as a record points at it.
struct Extent {
    uint32_t lba = 0;
    uint32_t length = 0;
    bool operator==(const Extent&) const = default;
};

struct RecordDate {
    uint8_t yearsSince1900 = 0;
    uint8_t month = 0;
    uint8_t day = 0;
};

struct DirectoryRecord {
    uint8_t length = 0;
    uint32_t extentLba = 0;
    uint32_t dataLength = 0;
    RecordDate date;
    uint8_t flags = 0;
    std::string identifier;  // all of its bytes, version suffix included
    // What follows the identifier and its pad byte: XA attributes, Rock Ridge entries.
    std::vector<uint8_t> systemUse;

    // Directories, hidden and associated files and multi-extent parts are not listed as records
    // of their own; a file's multi-extent parts are listed with it (image/ListedFiles.h).
    bool isListed() const { return flags == 0; }
    bool isDirectory() const { return (flags & kDirectoryFlag) != 0; }
    // The identifier less its version suffix (";1"): the text a listing shows and finds again.
    std::string name() const { return nameOf(identifier); }
};

// `bytes` starts at a record's length byte. Returns nothing when they do not hold a whole
// record: a length below the minimum, a record longer than `bytes`, or an identifier that
// runs past the record.
std::optional<DirectoryRecord> parseDirectoryRecord(std::span<const uint8_t> bytes);

}  // namespace kestrel
