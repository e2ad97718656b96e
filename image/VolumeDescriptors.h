// The volume descriptor set from sector 16 on: the primary descriptor, a Joliet supplementary
// descriptor, an El Torito boot record, and the UDF volume recognition sequence behind them.
#pragma once

#include <cstdint>
#include <optional>

#include "image/DirectoryRecord.h"
#include "io/ImageSource.h"

namespace kestrel {

// A primary or supplementary descriptor: where its directory tree is.
struct TreeDescriptor {
    uint16_t logicalBlockSize = 0;
    uint32_t pathTableSize = 0;
    uint32_t pathTableLba = 0;  // the little-endian (type L) table
    std::optional<DirectoryRecord> root;
};

struct DescriptorSet {
    // Sector 16 when it is one: type 1, "CD001", version 1.
    std::optional<TreeDescriptor> primary;
    std::optional<TreeDescriptor> joliet;
    bool elTorito = false;
    bool udf = false;  // an NSR02 or NSR03 descriptor, read only through UDF
};

// Reads the descriptors up to the terminator and the recognition sequence behind it; an image
// too short for any of them has none.
Result<DescriptorSet> readDescriptors(const ImageSource& image);

}  // namespace kestrel
