#include "ops/NewRecord.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <span>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"

namespace kestrel {

namespace {

constexpr size_t kXaAttributesLength = 14;
constexpr size_t kEntryHeaderLength = 4;
constexpr uint16_t kXaDirectory = 0x8000;
constexpr uint16_t kXaForm1 = 0x0800;
constexpr uint32_t kRegularFile = 0100000;
constexpr uint32_t kFileTypeMask = 0170000;
constexpr uint32_t kReadWrite = 0666;
// RR's flags for the entries a new file carries: PX, NM and TF.
constexpr uint8_t kRrPx = 0x01;
constexpr uint8_t kRrNm = 0x08;
constexpr uint8_t kRrTf = 0x80;
constexpr uint8_t kTfLongForm = 0x80;
constexpr size_t kJolietMostCharacters = 64;

bool hasXaAttributes(const std::vector<uint8_t>& systemUse) {
    return systemUse.size() >= kXaAttributesLength && systemUse[6] == 'X' && systemUse[7] == 'A';
}

void appendEntry(std::vector<uint8_t>& out, std::string_view signature,
                 std::span<const uint8_t> data) {
    out.push_back(static_cast<uint8_t>(signature[0]));
    out.push_back(static_cast<uint8_t>(signature[1]));
    out.push_back(static_cast<uint8_t>(kEntryHeaderLength + data.size()));
    out.push_back(1);
    out.insert(out.end(), data.begin(), data.end());
}

// A TF entry's stamps, each as the flags say: 7-byte record dates, or 17-byte digits.
std::vector<uint8_t> timeStamps(uint8_t flags, std::time_t when) {
    std::vector<uint8_t> data{flags};
    const int stamps = std::popcount(static_cast<uint8_t>(flags & ~kTfLongForm));
    for (int i = 0; i < stamps; ++i) {
        if ((flags & kTfLongForm) != 0) {
            std::tm utc{};
            gmtime_r(&when, &utc);
            std::array<char, 64> digits{};
            std::snprintf(digits.data(), digits.size(), "%04d%02d%02d%02d%02d%02d00",
                          utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                          utc.tm_sec);
            data.insert(data.end(), digits.begin(), digits.begin() + 16);
            data.push_back(0);
        } else {
            const auto date = recordDate(when);
            data.insert(data.end(), date.begin(), date.end());
        }
    }
    return data;
}

// The model's PX made a plain file's: its permissions without execution, one link, and no
// serial number, which would name the model's inode.
std::vector<uint8_t> fileAttributes(std::span<const uint8_t> model) {
    std::vector<uint8_t> data(model.begin(), model.end());
    const uint32_t mode = readLe32(model, 0);
    const uint32_t fileMode =
        (mode & kFileTypeMask) == kRegularFile ? mode : kRegularFile | (mode & kReadWrite);
    writeBothEndian(std::span(data).subspan<0, 8>(), fileMode);
    writeBothEndian(std::span(data).subspan<8, 8>(), 1);
    if (data.size() >= 40) {
        writeBothEndian(std::span(data).subspan<32, 8>(), 0);
    }
    return data;
}

}  // namespace

std::array<uint8_t, 7> recordDate(std::time_t when) {
    std::tm utc{};
    gmtime_r(&when, &utc);
    return {static_cast<uint8_t>(std::clamp(utc.tm_year, 0, 255)),
            static_cast<uint8_t>(utc.tm_mon + 1),
            static_cast<uint8_t>(utc.tm_mday),
            static_cast<uint8_t>(utc.tm_hour),
            static_cast<uint8_t>(utc.tm_min),
            static_cast<uint8_t>(utc.tm_sec),
            0};
}

Result<std::vector<uint8_t>> fileRecord(const std::string& identifier, const Extent& extent,
                                        const std::array<uint8_t, 7>& date,
                                        const std::vector<uint8_t>& systemUse) {
    const size_t fixed = record::kIdentifier + identifier.size() + (identifier.size() + 1) % 2;
    size_t length = fixed + systemUse.size();
    length += length % 2;
    if (identifier.empty() || length > record::kMaximumLength) {
        return Error{ErrorKind::OutOfRange,
                     "The record of " + nameOf(identifier) + " would take " +
                         std::to_string(length) +
                         " bytes, and a directory record holds at most 255; a shorter name "
                         "would fit. Nothing was written"};
    }
    std::vector<uint8_t> bytes(length, 0);
    bytes[record::kLength] = static_cast<uint8_t>(length);
    writeBothEndian(std::span(bytes).subspan<record::kExtentLba, 8>(), extent.lba);
    writeBothEndian(std::span(bytes).subspan<record::kDataLength, 8>(), extent.length);
    std::ranges::copy(date, bytes.begin() + record::kYear);
    bytes[28] = 1;  // volume sequence number, both-endian
    bytes[31] = 1;
    bytes[record::kIdentifierLength] = static_cast<uint8_t>(identifier.size());
    std::ranges::copy(identifier, bytes.begin() + record::kIdentifier);
    std::ranges::copy(systemUse, bytes.begin() + static_cast<ptrdiff_t>(fixed));
    return bytes;
}

std::vector<uint8_t> chainedRecords(std::span<const uint8_t> model, uint32_t lba, uint64_t size) {
    std::vector<uint8_t> records;
    uint64_t offset = 0;
    do {
        const auto length =
            static_cast<uint32_t>(std::min<uint64_t>(size - offset, kLargestChainedExtent));
        std::vector<uint8_t> record(model.begin(), model.end());
        const bool last = offset + length == size;
        record[record::kFlags] =
            static_cast<uint8_t>(last ? record[record::kFlags] & ~kMultiExtentFlag
                                      : record[record::kFlags] | kMultiExtentFlag);
        writeBothEndian(std::span(record).subspan<record::kExtentLba, 8>(),
                        static_cast<uint32_t>(lba + offset / kSectorSize));
        writeBothEndian(std::span(record).subspan<record::kDataLength, 8>(), length);
        records.insert(records.end(), record.begin(), record.end());
        offset += length;
    } while (offset < size);
    return records;
}

std::vector<uint8_t> systemUseLike(const DirectoryRecord& model, const std::string& longName,
                                   std::time_t when) {
    const std::vector<uint8_t>& area = model.systemUse;
    std::vector<uint8_t> out;
    size_t at = 0;
    if (hasXaAttributes(area)) {
        out.assign(area.begin(), area.begin() + kXaAttributesLength);
        const uint16_t attributes = static_cast<uint16_t>(out[4] << 8 | out[5]);
        if ((attributes & kXaDirectory) != 0) {
            const uint16_t file = (attributes & ~kXaDirectory) | kXaForm1;
            out[4] = static_cast<uint8_t>(file >> 8);
            out[5] = static_cast<uint8_t>(file);
        }
        at = kXaAttributesLength;
    }
    std::vector<uint8_t> name{0};
    name.insert(name.end(), longName.begin(), longName.end());
    bool rockRidge = false;
    bool named = false;
    while (at + kEntryHeaderLength <= area.size()) {
        const size_t length = area[at + 2];
        if (length < kEntryHeaderLength || at + length > area.size()) {
            break;
        }
        const std::string_view signature(reinterpret_cast<const char*>(&area[at]), 2);
        const auto data =
            std::span(area).subspan(at + kEntryHeaderLength, length - kEntryHeaderLength);
        if (signature == "ST") {
            break;
        }
        if (signature == "RR" && !data.empty()) {
            const uint8_t flags = kRrPx | kRrNm | kRrTf;
            appendEntry(out, "RR", std::span(&flags, 1));
        } else if (signature == "PX" && data.size() >= 32) {
            appendEntry(out, "PX", fileAttributes(data));
            rockRidge = true;
        } else if (signature == "TF" && !data.empty()) {
            appendEntry(out, "TF", timeStamps(data[0], when));
        } else if (signature == "NM") {
            appendEntry(out, "NM", name);
            named = true;
        }
        at += length;
    }
    if (rockRidge && !named) {
        appendEntry(out, "NM", name);
    }
    if (!rockRidge) {
        out.resize(hasXaAttributes(area) ? kXaAttributesLength : 0);
    }
    return out;
}

Result<std::string> jolietIdentifier(const std::string& name, bool versioned) {
    std::string identifier;
    size_t characters = 0;
    for (size_t at = 0; at < name.size();) {
        const auto lead = static_cast<unsigned char>(name[at]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        uint32_t codePoint = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (size_t i = 1; i < length && at + i < name.size(); ++i) {
            codePoint = codePoint << 6 | (static_cast<unsigned char>(name[at + i]) & 0x3F);
        }
        const bool forbidden =
            codePoint < 0x20 || codePoint > 0xFFFF ||
            (codePoint < 0x80 && std::string_view("*/:;?\\").find(static_cast<char>(codePoint)) !=
                                     std::string_view::npos);
        if (forbidden) {
            return Error{ErrorKind::InvalidInput,
                         "Joliet names cannot hold the character " + name.substr(at, length) +
                             " of \"" + name +
                             "\", nor * / : ; ? \\ or control characters. Nothing was written"};
        }
        identifier += static_cast<char>(codePoint >> 8);
        identifier += static_cast<char>(codePoint);
        at += length;
        ++characters;
    }
    if (characters > kJolietMostCharacters) {
        return Error{ErrorKind::InvalidInput, "Joliet names hold at most 64 characters, and \"" +
                                                  name + "\" has " + std::to_string(characters) +
                                                  ". Nothing was written"};
    }
    if (versioned) {
        identifier += std::string("\0;\0001", 4);
    }
    return identifier;
}

}  // namespace kestrel
