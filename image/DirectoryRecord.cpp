#include "image/DirectoryRecord.h"

#include "image/ByteOrder.h"

namespace kestrel {

std::string nameOf(const std::string& identifier) {
    const size_t separator = identifier.rfind(';');
    const bool versioned =
        separator != std::string::npos && separator + 1 < identifier.size() &&
        identifier.find_first_not_of("0123456789", separator + 1) == std::string::npos;
    return versioned ? identifier.substr(0, separator) : identifier;
}

std::optional<DirectoryRecord> parseDirectoryRecord(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return std::nullopt;
    }
    const size_t length = bytes[record::kLength];
    if (length < record::kMinimumLength || length > bytes.size()) {
        return std::nullopt;
    }
    const size_t identifierLength = bytes[record::kIdentifierLength];
    if (record::kIdentifier + identifierLength > length) {
        return std::nullopt;
    }
    DirectoryRecord parsed;
    parsed.length = static_cast<uint8_t>(length);
    parsed.extentLba = readLe32(bytes, record::kExtentLba);
    parsed.dataLength = readLe32(bytes, record::kDataLength);
    parsed.date = {bytes[record::kYear], bytes[record::kMonth], bytes[record::kDay]};
    parsed.flags = bytes[record::kFlags];
    const auto identifier = bytes.subspan(record::kIdentifier, identifierLength);
    parsed.identifier.assign(identifier.begin(), identifier.end());
    // The identifier is padded to an even length, the fixed part being 33 bytes.
    const size_t systemUseStart =
        record::kIdentifier + identifierLength + (identifierLength + 1) % 2;
    if (systemUseStart < length) {
        parsed.systemUse.assign(bytes.begin() + static_cast<ptrdiff_t>(systemUseStart),
                                bytes.begin() + static_cast<ptrdiff_t>(length));
    }
    return parsed;
}

}  // namespace kestrel
