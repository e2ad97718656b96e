#include "image/UdfTag.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "image/ByteOrder.h"

namespace kestrel {
namespace {

constexpr size_t kChecksumAt = 4;
constexpr size_t kCrcAt = 8;

constexpr std::array<uint16_t, 256> crcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        auto crc = static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        table[byte] = crc;
    }
    return table;
}

Error tagError(const std::string& reason) {
    return Error{ErrorKind::CorruptImage, reason};
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

}  // namespace

uint16_t udfCrc16(std::span<const uint8_t> bytes) {
    static constexpr auto table = crcTable();
    uint16_t crc = 0;
    for (const uint8_t byte : bytes) {
        crc = static_cast<uint16_t>(crc << 8 ^ table[(crc >> 8 ^ byte) & 0xff]);
    }
    return crc;
}

void sealUdfTag(std::span<uint8_t> descriptor) {
    const size_t crcLength =
        std::min<size_t>(readLe16(descriptor, kUdfTagCrcLengthAt), descriptor.size() - kUdfTagSize);
    const uint16_t crc = udfCrc16(descriptor.subspan(kUdfTagSize, crcLength));
    descriptor[kCrcAt] = static_cast<uint8_t>(crc);
    descriptor[kCrcAt + 1] = static_cast<uint8_t>(crc >> 8);
    uint8_t sum = 0;
    for (size_t i = 0; i < kUdfTagSize; ++i) {
        sum = static_cast<uint8_t>(sum + (i == kChecksumAt ? 0 : descriptor[i]));
    }
    descriptor[kChecksumAt] = sum;
}

Result<UdfTagId> checkUdfTag(std::span<const uint8_t> descriptor, uint32_t location) {
    if (descriptor.size() < kUdfTagSize) {
        return tagError("it is cut short before the end of its tag");
    }
    uint8_t sum = 0;
    for (size_t i = 0; i < kUdfTagSize; ++i) {
        if (i != kChecksumAt) {
            sum = static_cast<uint8_t>(sum + descriptor[i]);
        }
    }
    if (sum != descriptor[kChecksumAt]) {
        return tagError("its tag checksum is " + hex(descriptor[kChecksumAt]) + ", not " +
                        hex(sum));
    }
    const uint16_t crcLength = readLe16(descriptor, kUdfTagCrcLengthAt);
    if (crcLength > descriptor.size() - kUdfTagSize) {
        return tagError("its CRC length of " + std::to_string(crcLength) +
                        " bytes reaches past the descriptor");
    }
    const uint16_t crc = udfCrc16(descriptor.subspan(kUdfTagSize, crcLength));
    if (crc != readLe16(descriptor, kCrcAt)) {
        return tagError("its CRC is " + hex(readLe16(descriptor, kCrcAt)) + ", not " + hex(crc));
    }
    const uint32_t recorded = readLe32(descriptor, kUdfTagLocationAt);
    if (recorded != location) {
        return tagError("its tag says it lies at " + std::to_string(recorded) + ", not " +
                        std::to_string(location));
    }
    return static_cast<UdfTagId>(readLe16(descriptor, 0));
}

Result<std::vector<uint8_t>> readUdfBlocks(const ImageSource& image, uint64_t sector,
                                           uint32_t count) {
    std::vector<uint8_t> bytes(size_t{count} * kUdfBlockSize);
    auto read = image.readAt(sector * kUdfBlockSize, bytes);
    if (!read) {
        return read.error();
    }
    if (*read != bytes.size()) {
        return Error{ErrorKind::CorruptImage,
                     image.path() + " ends before sector " + std::to_string(sector + count - 1)};
    }
    return bytes;
}

}  // namespace kestrel
