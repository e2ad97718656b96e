#include "ops/PatchReader.h"

#include <algorithm>

#include "ops/VcdiffFormat.h"

namespace kestrel {

namespace {

// A window's head is at most its indicator and three integers of ten bytes.
constexpr uint64_t kLongestWindowHead = 31;
constexpr uint64_t kLongestHeader = 1 << 16;
// Kestrel writes no larger window; a larger one is not its patch, and is not read into memory.
constexpr uint64_t kLargestEncoding = 2 * vcdiff::kWindowSize + 64;

struct Sections {
    std::span<const uint8_t> data;
    std::span<const uint8_t> instructions;
    std::span<const uint8_t> addresses;
};

}  // namespace

Error PatchReader::malformed(const std::string& what) const {
    return Error{ErrorKind::InvalidInput, file_.path() + " is not a patch Kestrel wrote: " + what};
}

Result<std::vector<uint8_t>> PatchReader::readBytes(uint64_t offset, uint64_t length) const {
    std::vector<uint8_t> bytes(
        static_cast<size_t>(std::min(length, size_ - std::min(offset, size_))));
    const auto read = file_.readAt(offset, bytes);
    if (!read) {
        return read.error();
    }
    bytes.resize(*read);
    return bytes;
}

Result<PatchReader> PatchReader::open(const std::string& path) {
    auto file = ImageFile::openForReading(path);
    const auto size = file ? file->size() : Result<uint64_t>(file.error());
    if (!size) {
        return size.error();
    }
    PatchReader reader(std::move(*file), *size);
    const auto head = reader.readBytes(0, kLongestHeader);
    if (!head) {
        return head.error();
    }
    size_t at = vcdiff::kMagic.size() + 1;
    if (head->size() < at ||
        !std::equal(vcdiff::kMagic.begin(), vcdiff::kMagic.end(), head->begin()) ||
        (*head)[at - 1] != vcdiff::kApplicationHeader) {
        return reader.malformed("it does not start as one");
    }
    const auto length = vcdiff::getInteger(*head, at);
    if (!length || *length > head->size() - at) {
        return reader.malformed("its application header is cut short");
    }
    reader.header_.assign(head->begin() + static_cast<ptrdiff_t>(at),
                          head->begin() + static_cast<ptrdiff_t>(at + *length));
    reader.at_ = at + *length;
    return reader;
}

Result<std::optional<DecodedWindow>> PatchReader::next(const Source& source) {
    if (at_ == size_) {
        return std::optional<DecodedWindow>();
    }
    const auto head = readBytes(at_, kLongestWindowHead);
    if (!head) {
        return head.error();
    }
    size_t at = 1;
    const uint8_t indicator = head->front();
    if ((indicator & ~(vcdiff::kFromSource | vcdiff::kAdler32)) != 0) {
        return malformed("a window at byte " + std::to_string(at_) + " is of another kind");
    }
    const bool fromSource = (indicator & vcdiff::kFromSource) != 0;
    const auto sourceLength =
        fromSource ? vcdiff::getInteger(*head, at) : std::optional<uint64_t>(0);
    const auto sourceOffset =
        fromSource ? vcdiff::getInteger(*head, at) : std::optional<uint64_t>(0);
    const auto encodingLength = vcdiff::getInteger(*head, at);
    if (!sourceLength || !sourceOffset || !encodingLength || *encodingLength > kLargestEncoding ||
        *sourceLength > vcdiff::kWindowSize) {
        return malformed("the window at byte " + std::to_string(at_) + " is damaged");
    }
    const auto encoding = readBytes(at_ + at, *encodingLength);
    if (!encoding) {
        return encoding.error();
    }
    size_t in = 0;
    const auto targetLength = vcdiff::getInteger(*encoding, in);
    const bool plain = in < encoding->size() && (*encoding)[in++] == 0;
    const auto dataLength = vcdiff::getInteger(*encoding, in);
    const auto instructionsLength = vcdiff::getInteger(*encoding, in);
    const auto addressesLength = vcdiff::getInteger(*encoding, in);
    const size_t checksumLength = (indicator & vcdiff::kAdler32) != 0 ? 4 : 0;
    if (encoding->size() != *encodingLength || !targetLength || !plain || !dataLength ||
        !instructionsLength || !addressesLength || *targetLength > vcdiff::kWindowSize ||
        in + checksumLength + *dataLength + *instructionsLength + *addressesLength !=
            encoding->size()) {
        return malformed("the window at byte " + std::to_string(at_) + " is damaged");
    }
    DecodedWindow window{target_, {}, std::nullopt};
    if (checksumLength > 0) {
        window.adler = uint32_t{(*encoding)[in]} << 24 | uint32_t{(*encoding)[in + 1]} << 16 |
                       uint32_t{(*encoding)[in + 2]} << 8 | (*encoding)[in + 3];
        in += checksumLength;
    }
    const auto rest = std::span(*encoding).subspan(in);
    const Sections sections{rest.first(*dataLength), rest.subspan(*dataLength, *instructionsLength),
                            rest.subspan(*dataLength + *instructionsLength)};
    size_t data = 0;
    size_t address = 0;
    for (size_t code = 0; code < sections.instructions.size();) {
        const uint8_t instruction = sections.instructions[code++];
        const auto size = vcdiff::getInteger(sections.instructions, code);
        if (!size || *size > *targetLength - window.bytes.size()) {
            return malformed("an instruction at byte " + std::to_string(at_) + " is damaged");
        }
        if (instruction == vcdiff::kRun && data < sections.data.size()) {
            window.bytes.insert(window.bytes.end(), *size, sections.data[data++]);
        } else if (instruction == vcdiff::kAdd && *size <= sections.data.size() - data) {
            const auto added = sections.data.subspan(data, *size);
            window.bytes.insert(window.bytes.end(), added.begin(), added.end());
            data += *size;
        } else if (const auto from = instruction == vcdiff::kCopySelf
                                         ? vcdiff::getInteger(sections.addresses, address)
                                         : std::nullopt;
                   from && *from <= *sourceLength && *size <= *sourceLength - *from) {
            // Only the source bytes a copy takes are read.
            window.bytes.resize(window.bytes.size() + *size);
            if (auto read = source(*sourceOffset + *from, std::span(window.bytes).last(*size));
                !read) {
                return read.error();
            }
        } else {
            return malformed("an instruction at byte " + std::to_string(at_) +
                             " is not one it writes");
        }
    }
    if (window.bytes.size() != *targetLength || data != sections.data.size() ||
        address != sections.addresses.size()) {
        return malformed("the window at byte " + std::to_string(at_) + " does not add up");
    }
    at_ += at + *encodingLength;
    target_ += *targetLength;
    return std::optional(std::move(window));
}

}  // namespace kestrel
