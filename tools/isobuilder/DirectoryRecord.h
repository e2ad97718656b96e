// Encoding of one directory record: the 33 fixed bytes, the identifier, a pad byte that
// keeps the system use area at an even offset, and the system use area itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "isobuilder/IsoBuilder.h"

namespace kestrel::isobuilder {

inline constexpr uint8_t kDirectoryFlag = 2;
// A directory record's length is recorded in one byte.
inline constexpr size_t kMaximumRecordLength = 255;

struct RecordFields {
    std::string identifier;
    uint32_t lba = 0;
    uint32_t dataLength = 0;
    RecordDate date;
    uint8_t flags = 0;
};

size_t directoryRecordLength(size_t identifierLength, size_t systemUseLength);

// The system use bytes for a record: the XA attributes for the CD-ROM XA layout when there
// is room for them, zeros otherwise.
std::vector<uint8_t> systemUseArea(Layout layout, size_t length, bool isDirectory);

// Writes the record at `out`, which must have directoryRecordLength(...) bytes.
void encodeDirectoryRecord(uint8_t* out, const RecordFields& fields,
                           const std::vector<uint8_t>& systemUse);

}  // namespace kestrel::isobuilder
