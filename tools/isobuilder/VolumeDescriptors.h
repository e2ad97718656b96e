// The volume descriptors in sectors 16 and 17 and the path tables.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "isobuilder/DirectoryRecord.h"
#include "isobuilder/IsoBuilder.h"

namespace kestrel::isobuilder {

struct PrimaryDescriptorFields {
    Layout layout = Layout::CdRomXa;
    std::string volumeIdentifier;
    uint32_t volumeSectors = 0;
    uint32_t pathTableSize = 0;
    uint32_t littleEndianPathTableLba = 0;
    uint32_t bigEndianPathTableLba = 0;
    RecordFields root;
};

// One sector each.
std::vector<uint8_t> encodePrimaryDescriptor(const PrimaryDescriptorFields& fields);
std::vector<uint8_t> encodeTerminator();

struct PathTableEntry {
    std::string identifier;
    uint32_t lba = 0;
    uint16_t parent = 0;
};

size_t pathTableRecordLength(size_t identifierLength);
std::vector<uint8_t> encodePathTable(const std::vector<PathTableEntry>& entries, bool bigEndian);

}  // namespace kestrel::isobuilder
