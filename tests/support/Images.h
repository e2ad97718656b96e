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

// One extent of a file of several, its sectors filled with `seed`'s pattern.
inline FileSpec extentAt(uint32_t lba, uint32_t size, uint8_t seed) {
    return fileAt("", lba, size, pattern((size + 2047) / 2048 * 2048, seed));
}

// A CD of A.TXT and BIG.BIN, whose three extents lie out of order with a file's room between
// them; tests add their own files behind.
inline IsoBuilder chainedImageBuilder() {
    IsoBuilder builder(Layout::CdRomXa, "CHAINS");
    builder.addFile(IsoBuilder::kRoot, fileAt("A.TXT;1", 40, 700, pattern(2048, 9)));
    builder.addMultiExtentFile(
        IsoBuilder::kRoot, "BIG.BIN;1",
        {extentAt(60, 4096, 1), extentAt(50, 2048, 2), extentAt(70, 1000, 3)});
    return builder;
}

}  // namespace kestrel::test
