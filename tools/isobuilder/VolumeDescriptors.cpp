#include "isobuilder/VolumeDescriptors.h"

#include <cstring>

#include "isobuilder/FieldEncoding.h"

namespace kestrel::isobuilder {

namespace {

constexpr uint8_t kPrimaryType = 1;
constexpr uint8_t kTerminatorType = 255;
constexpr size_t kXaSignatureOffset = 1024;

void putHeader(uint8_t* sector, uint8_t type) {
    sector[0] = type;
    std::memcpy(sector + 1, "CD001", 5);
    sector[6] = 1;  // descriptor version
}

// Writes the low `width` decimal digits of `value` as ASCII.
uint8_t* putDigits(uint8_t* at, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        at[i] = static_cast<uint8_t>('0' + value % 10);
        value /= 10;
    }
    return at + width;
}

// Descriptor dates are 16 ASCII digits (down to hundredths of a second) and a GMT offset;
// all zero digits mean "not set".
void putDescriptorDate(uint8_t* at, const RecordDate* date) {
    std::memset(at, '0', 16);
    at[16] = 0;
    if (date == nullptr) {
        return;
    }
    uint8_t* next = putDigits(at, 1900u + date->yearsSince1900, 4);
    for (unsigned field : {date->month, date->day, date->hour, date->minute, date->second}) {
        next = putDigits(next, field, 2);
    }
    at[16] = static_cast<uint8_t>(date->gmtOffset);
}

}  // namespace

std::vector<uint8_t> encodePrimaryDescriptor(const PrimaryDescriptorFields& fields) {
    std::vector<uint8_t> sector(kSectorSize, 0);
    uint8_t* d = sector.data();
    putHeader(d, kPrimaryType);
    putPadded(d + 8, 32, "");  // system identifier
    putPadded(d + 40, 32, fields.volumeIdentifier);
    putBoth32(d + 80, fields.volumeSectors);
    putBoth16(d + 120, 1);  // volume set size
    putBoth16(d + 124, 1);  // volume sequence number
    putBoth16(d + 128, kSectorSize);
    putBoth32(d + 132, fields.pathTableSize);
    putLe32(d + 140, fields.littleEndianPathTableLba);
    putBe32(d + 148, fields.bigEndianPathTableLba);
    encodeDirectoryRecord(d + 156, fields.root, {});
    putPadded(d + 190, 128, "");                    // volume set
    putPadded(d + 318, 128, "");                    // publisher
    putPadded(d + 446, 128, "");                    // data preparer
    putPadded(d + 574, 128, "");                    // application
    putPadded(d + 702, 37, "");                     // copyright file
    putPadded(d + 739, 37, "");                     // abstract file
    putPadded(d + 776, 37, "");                     // bibliographic file
    putDescriptorDate(d + 813, &fields.root.date);  // creation
    putDescriptorDate(d + 830, &fields.root.date);  // modification
    putDescriptorDate(d + 847, nullptr);            // expiration
    putDescriptorDate(d + 864, nullptr);            // effective
    d[881] = 1;                                     // file structure version
    if (fields.layout == Layout::CdRomXa) {
        std::memcpy(d + kXaSignatureOffset, "CD-XA001", 8);
    }
    return sector;
}

std::vector<uint8_t> encodeTerminator() {
    std::vector<uint8_t> sector(kSectorSize, 0);
    putHeader(sector.data(), kTerminatorType);
    return sector;
}

size_t pathTableRecordLength(size_t identifierLength) {
    return 8 + identifierLength + identifierLength % 2;
}

std::vector<uint8_t> encodePathTable(const std::vector<PathTableEntry>& entries, bool bigEndian) {
    std::vector<uint8_t> table;
    for (const PathTableEntry& entry : entries) {
        const size_t at = table.size();
        table.resize(at + pathTableRecordLength(entry.identifier.size()), 0);
        uint8_t* record = &table[at];
        record[0] = static_cast<uint8_t>(entry.identifier.size());
        if (bigEndian) {
            putBe32(record + 2, entry.lba);
            putBe16(record + 6, entry.parent);
        } else {
            putLe32(record + 2, entry.lba);
            putLe16(record + 6, entry.parent);
        }
        std::memcpy(record + 8, entry.identifier.data(), entry.identifier.size());
    }
    return table;
}

}  // namespace kestrel::isobuilder
