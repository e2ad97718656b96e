#include "image/LongNames.h"

#include <cstdint>
#include <span>
#include <vector>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"

namespace kestrel {

namespace {

constexpr size_t kEntryHeaderLength = 4;  // signature, length, version
constexpr size_t kXaAttributesLength = 14;
constexpr uint8_t kNameContinues = 0x01;
constexpr uint8_t kNameIsDotOrDotDot = 0x06;
constexpr int kMaxContinuationAreas = 16;

// CD-ROM XA attributes come first where an image carries them, and Rock Ridge behind them.
size_t entriesStart(const std::vector<uint8_t>& systemUse) {
    const bool xa =
        systemUse.size() >= kXaAttributesLength && systemUse[6] == 'X' && systemUse[7] == 'A';
    return xa ? kXaAttributesLength : 0;
}

// Where more entries continue, as a CE entry names it.
struct Continuation {
    uint64_t offset = 0;
    size_t length = 0;
};

// Calls `visit(signature, data)` for each whole entry of `area` until it returns false, and
// returns the continuation area the entries name, if any.
template <class Visit>
std::optional<Continuation> forEachEntry(std::span<const uint8_t> area, Visit visit) {
    std::optional<Continuation> continuation;
    for (size_t at = 0; at + kEntryHeaderLength <= area.size();) {
        const size_t length = area[at + 2];
        if (length < kEntryHeaderLength || at + length > area.size()) {
            break;
        }
        const std::string signature{static_cast<char>(area[at]), static_cast<char>(area[at + 1])};
        const auto data = area.subspan(at + kEntryHeaderLength, length - kEntryHeaderLength);
        if (signature == "ST") {
            break;
        }
        if (signature == "CE" && data.size() >= 20) {
            continuation =
                Continuation{(uint64_t{readLe32(data, 0)} << kSectorShift) + readLe32(data, 8),
                             std::min<size_t>(readLe32(data, 16), kSectorSize)};
        }
        if (!visit(signature, data)) {
            return std::nullopt;
        }
        at += length;
    }
    return continuation;
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
    const std::span<const uint8_t> area(rootDot.systemUse);
    forEachEntry(area.subspan(entriesStart(rootDot.systemUse)),
                 [&found](const std::string& signature, auto data) {
                     found = signature == "SP" && data.size() >= 2 && data[0] == 0xBE &&
                             data[1] == 0xEF;
                     return false;
                 });
    return found;
}

std::optional<std::string> rockRidgeName(const DirectoryRecord& record, const ImageSource& image) {
    std::string name;
    bool named = false;
    bool continues = false;
    const auto collect = [&](const std::string& signature, auto data) {
        if (signature != "NM" || data.empty() || (data[0] & kNameIsDotOrDotDot) != 0) {
            return true;
        }
        name.append(data.begin() + 1, data.end());
        named = true;
        continues = (data[0] & kNameContinues) != 0;
        return continues;
    };
    const std::span<const uint8_t> area(record.systemUse);
    auto next = forEachEntry(area.subspan(entriesStart(record.systemUse)), collect);
    // Each continuation area may name another; a bound keeps a loop of them from going on.
    std::vector<uint8_t> continued;
    for (int areas = 0; next && (continues || !named) && areas < kMaxContinuationAreas; ++areas) {
        continued.assign(next->length, 0);
        const auto read = image.readAt(next->offset, continued);
        if (!read || *read < continued.size()) {
            return std::nullopt;
        }
        next = forEachEntry(continued, collect);
    }
    if (!named || continues) {
        return std::nullopt;
    }
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
