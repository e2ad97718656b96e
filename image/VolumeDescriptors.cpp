#include "image/VolumeDescriptors.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"

namespace kestrel {

namespace {

constexpr uint8_t kBootRecordType = 0;
// A boot record's boot system identifier (byte 7 on) names the El Torito boot catalog.
constexpr std::string_view kElToritoSystem = "EL TORITO ";

constexpr size_t kLogicalBlockSizeAt = 128;
constexpr size_t kEscapeSequencesAt = 88;
constexpr size_t kEscapeSequencesLength = 32;

std::string_view textAt(std::span<const uint8_t> sector, size_t at, size_t length) {
    return {reinterpret_cast<const char*>(sector.data() + at), length};
}

bool isIsoDescriptor(std::span<const uint8_t> sector) {
    return textAt(sector, 1, 5) == "CD001" && sector[6] == 1;
}

TreeDescriptor treeDescriptor(std::span<const uint8_t> sector) {
    return TreeDescriptor{
        readLe16(sector, kLogicalBlockSizeAt), readLe32(sector, kPathTableSizeAt),
        readLe32(sector, kTypeLTableAt),
        parseDirectoryRecord(sector.subspan(kDescriptorRootAt, kDescriptorRootLength))};
}

// UCS-2 level 1, 2 or 3: "%/@", "%/C" or "%/E".
bool hasJolietEscape(std::span<const uint8_t> sector) {
    const auto escapes = textAt(sector, kEscapeSequencesAt, kEscapeSequencesLength);
    return escapes.find("%/@") != escapes.npos || escapes.find("%/C") != escapes.npos ||
           escapes.find("%/E") != escapes.npos;
}

}  // namespace

Result<DescriptorSet> readDescriptors(const ImageSource& image) {
    std::vector<uint8_t> bytes(kMostDescriptorSectors * kSectorSize);
    auto read = image.readAt(kDescriptorsOffset, bytes);
    if (!read) {
        return read.error();
    }
    const size_t sectors = *read / kSectorSize;
    const auto sector = [&bytes](size_t n) {
        return std::span<const uint8_t>(bytes).subspan(n * kSectorSize, kSectorSize);
    };

    DescriptorSet set;
    size_t next = 0;
    for (; next < sectors && isIsoDescriptor(sector(next)); ++next) {
        const auto descriptor = sector(next);
        const uint8_t type = descriptor[0];
        if (type == kPrimaryType && next == 0) {
            set.primary = treeDescriptor(descriptor);
        } else if (type == kSupplementaryType && !set.joliet && hasJolietEscape(descriptor)) {
            set.joliet = treeDescriptor(descriptor);
        } else if (type == kBootRecordType &&
                   textAt(descriptor, 7, kElToritoSystem.size()) == kElToritoSystem) {
            set.elTorito = true;
        } else if (type == kTerminatorType) {
            ++next;
            break;
        }
    }
    for (; next < sectors; ++next) {
        const auto identifier = textAt(sector(next), 1, 5);
        if (identifier == "NSR02" || identifier == "NSR03") {
            set.udf = true;
        } else if (identifier != "BEA01" && identifier != "BOOT2" && identifier != "CDW02") {
            break;
        }
    }
    return set;
}

}  // namespace kestrel
