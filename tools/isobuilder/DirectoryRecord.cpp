#include "isobuilder/DirectoryRecord.h"

#include <algorithm>

#include "isobuilder/FieldEncoding.h"

namespace kestrel::isobuilder {

namespace {

constexpr size_t kFixedRecordBytes = 33;
constexpr size_t kXaAttributesLength = 14;
// Readable by everyone, Mode 2 Form 1 data; the high bit marks a directory.
constexpr uint16_t kXaFileAttributes = 0x0d55;
constexpr uint16_t kXaDirectoryAttributes = 0x8d55;

}  // namespace

size_t directoryRecordLength(size_t identifierLength, size_t systemUseLength) {
    const size_t pad = identifierLength % 2 == 0 ? 1 : 0;
    return kFixedRecordBytes + identifierLength + pad + systemUseLength;
}

std::vector<uint8_t> systemUseArea(Layout layout, size_t length, bool isDirectory) {
    std::vector<uint8_t> area(length, 0);
    if (layout != Layout::CdRomXa || length < kXaAttributesLength) {
        return area;
    }
    // Owner and group ids (bytes 0-3) and the file number (byte 8) stay zero.
    putBe16(&area[4], isDirectory ? kXaDirectoryAttributes : kXaFileAttributes);
    area[6] = 'X';
    area[7] = 'A';
    return area;
}

void encodeDirectoryRecord(uint8_t* out, const RecordFields& fields,
                           const std::vector<uint8_t>& systemUse) {
    const size_t length = directoryRecordLength(fields.identifier.size(), systemUse.size());
    std::fill(out, out + length, uint8_t{0});
    out[0] = static_cast<uint8_t>(length);
    putBoth32(out + 2, fields.lba);
    putBoth32(out + 10, fields.dataLength);
    const RecordDate& date = fields.date;
    out[18] = date.yearsSince1900;
    out[19] = date.month;
    out[20] = date.day;
    out[21] = date.hour;
    out[22] = date.minute;
    out[23] = date.second;
    out[24] = static_cast<uint8_t>(date.gmtOffset);
    out[25] = fields.flags;
    putBoth16(out + 28, 1);  // volume sequence number
    out[32] = static_cast<uint8_t>(fields.identifier.size());
    std::copy(fields.identifier.begin(), fields.identifier.end(), out + kFixedRecordBytes);
    std::copy(systemUse.begin(), systemUse.end(), out + length - systemUse.size());
}

}  // namespace kestrel::isobuilder
