#include "image/LongNames.h"

#include <cstdint>
#include <span>

namespace kestrel {

namespace {

constexpr size_t kEntryHeaderLength = 4;  // signature, length, version
constexpr size_t kXaAttributesLength = 14;
constexpr uint8_t kNameContinues = 0x01;
constexpr uint8_t kNameIsDotOrDotDot = 0x06;

// CD-ROM XA attributes come first where an image carries them, and Rock Ridge behind them.
size_t entriesStart(const std::vector<uint8_t>& systemUse) {
    const bool xa =
        systemUse.size() >= kXaAttributesLength && systemUse[6] == 'X' && systemUse[7] == 'A';
    return xa ? kXaAttributesLength : 0;
}

// Calls `visit(signature, data)` for each whole entry of the system use area.
template <class Visit>
void forEachEntry(const std::vector<uint8_t>& systemUse, Visit visit) {
    const std::span<const uint8_t> area(systemUse);
    for (size_t at = entriesStart(systemUse); at + kEntryHeaderLength <= area.size();) {
        const size_t length = area[at + 2];
        if (length < kEntryHeaderLength || at + length > area.size()) {
            return;
        }
        const std::string signature{static_cast<char>(area[at]), static_cast<char>(area[at + 1])};
        if (signature == "ST" ||
            !visit(signature, area.subspan(at + kEntryHeaderLength, length - kEntryHeaderLength))) {
            return;
        }
        at += length;
    }
}

void appendUtf8(std::string& text, uint32_t codePoint) {
    if (codePoint < 0x80) {
        text += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        text += static_cast<char>(0xC0 | codePoint >> 6);
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        text += static_cast<char>(0xE0 | codePoint >> 12);
        text += static_cast<char>(0x80 | (codePoint >> 6 & 0x3F));
        text += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

}  // namespace

bool startsRockRidge(const DirectoryRecord& rootDot) {
    bool found = false;
    forEachEntry(rootDot.systemUse, [&found](const std::string& signature, auto data) {
        found = signature == "SP" && data.size() >= 2 && data[0] == 0xBE && data[1] == 0xEF;
        return false;
    });
    return found;
}

// A name too long for its record continues in a continuation area, which is not followed:
// such a file shows its identifier only.
std::optional<std::string> rockRidgeName(const DirectoryRecord& record) {
    std::optional<std::string> name;
    forEachEntry(record.systemUse, [&name](const std::string& signature, auto data) {
        if (signature != "NM" || data.empty() || (data[0] & kNameIsDotOrDotDot) != 0) {
            return true;
        }
        name = name.value_or("") + std::string(data.begin() + 1, data.end());
        return (data[0] & kNameContinues) != 0;
    });
    return name;
}

std::string jolietName(const std::string& identifier) {
    std::string name;
    for (size_t at = 0; at + 1 < identifier.size(); at += 2) {
        appendUtf8(name, static_cast<uint8_t>(identifier[at]) << 8 |
                             static_cast<uint8_t>(identifier[at + 1]));
    }
    if (name.ends_with(";1")) {
        name.resize(name.size() - 2);
    }
    return name;
}

}  // namespace kestrel
