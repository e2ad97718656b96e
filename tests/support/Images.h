// Shorthands for the images most tests build.
#pragma once

#include <string>

#include "isobuilder/IsoBuilder.h"

namespace kestrel::test {

using isobuilder::FileSpec;
using isobuilder::IsoBuilder;
using isobuilder::Layout;
using isobuilder::RecordDate;

inline FileSpec textFile(std::string identifier, const std::string& text, RecordDate date = {}) {
    FileSpec file;
    file.identifier = std::move(identifier);
    file.size = static_cast<uint32_t>(text.size());
    file.content.assign(text.begin(), text.end());
    file.date = date;
    return file;
}

inline FileSpec recordOnly(std::string identifier, uint32_t lba, uint32_t size, uint8_t flags = 0) {
    FileSpec file;
    file.identifier = std::move(identifier);
    file.lba = lba;
    file.size = size;
    file.flags = flags;
    return file;
}

}  // namespace kestrel::test
