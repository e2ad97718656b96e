// Reading a UDF descriptor sequence back for rewriting it: each sound descriptor whole, with
// the sector it is written back to, as growing a partition or taking its free blocks does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "image/UdfDescriptors.h"
#include "ops/ImageWriter.h"

namespace kestrel {

// In an integrity descriptor: how many partitions its tables have, then the free space table
// and the size table, a 32-bit entry for each partition map.
inline constexpr size_t kUdfIntegrityPartitionsAt = 72;
inline constexpr size_t kUdfIntegrityTablesAt = 80;

struct UdfSectorWrite {
    uint32_t sector = 0;
    std::vector<uint8_t> bytes;
};

// The sound descriptors of `extent` up to its terminator, each with its sector.
Result<std::vector<UdfSectorWrite>> soundUdfDescriptors(ImageWriter& image,
                                                        const UdfVolumeExtent& extent);

// The last integrity descriptor of `sequence`; nothing when it holds none.
Result<std::optional<UdfSectorWrite>> lastUdfIntegrity(ImageWriter& image,
                                                       const UdfVolumeExtent& sequence);

}  // namespace kestrel
