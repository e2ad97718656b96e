// Rewriting a directory record's extent and data length in place, in both byte orders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "image/RecordLookup.h"

namespace kestrel {

// The new fields of a record: offsets 2-9 get `lba` and, when `size` is given, 10-17 get it.
struct RecordFields {
    uint32_t lba = 0;
    std::optional<uint32_t> size;
};

// Patches the record found at `location` in the file at `path`. Refuses, writing nothing,
// unless the record there still holds the identifier, extent and length the walk found. The
// bytes are synced to the disk before it returns.
Result<void> patchDirectoryRecord(const std::string& path, const RecordLocation& location,
                                  const RecordFields& fields);

// Patches a record found in the layer-1 copy at `copyPath`, which the image at `imagePath`
// holds `layerOffset` bytes further on: the image first, then the copy, so the copy never
// shows what the image lacks. Neither is written unless both still hold the record.
Result<void> patchMirroredRecord(const std::string& imagePath, const std::string& copyPath,
                                 uint64_t layerOffset, const RecordLocation& location,
                                 const RecordFields& fields);

}  // namespace kestrel
