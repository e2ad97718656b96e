// Shorthands for the images most tests build.
#pragma once

#include <string>

#include "isobuilder/IsoBuilder.h"

namespace kestrel::test {

using isobuilder::FileSpec;
using isobuilder::IsoBuilder;
using isobuilder::Layout;
using isobuilder::RecordDate;
using isobuilder::textFile;

inline FileSpec recordOnly(std::string identifier, uint32_t lba, uint32_t size, uint8_t flags = 0) {
    FileSpec file;
    file.identifier = std::move(identifier);
    file.lba = lba;
    file.size = size;
    file.flags = flags;
    return file;
}

}  // namespace kestrel::test
