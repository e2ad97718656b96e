// Shorthands for the images most tests build.
#pragma once

#include <string>
#include <vector>

#include "isobuilder/IsoBuilder.h"

namespace kestrel::test {

using isobuilder::FileSpec;
using isobuilder::IsoBuilder;
using isobuilder::Layout;
using isobuilder::RecordDate;
using isobuilder::textFile;

// Never zero, so that a blanked byte always shows.
inline std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>((i * 7 + seed) % 251 + 1);
    }
    return bytes;
}

// `content` may run past `size` into the rest of the extent, where no operation may reach.
inline FileSpec fileAt(std::string identifier, uint32_t lba, uint32_t size,
                       std::vector<uint8_t> content, uint8_t flags = 0, RecordDate date = {}) {
    return {std::move(identifier), size, lba, std::move(content), date, flags};
}

inline FileSpec recordOnly(std::string identifier, uint32_t lba, uint32_t size, uint8_t flags = 0,
                           RecordDate date = {}) {
    return fileAt(std::move(identifier), lba, size, {}, flags, date);
}

}  // namespace kestrel::test
