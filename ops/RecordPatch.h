// Finding a listed file's directory record again by its name, and rewriting the record's
// extent and data length in place, in both byte orders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "image/EditorState.h"
#include "image/Result.h"

namespace kestrel {

struct RecordLocation {
    uint64_t recordOffset = 0;  // of the record's first byte in the presented file
    uint32_t extentLba = 0;
    uint32_t dataLength = 0;
    std::string identifier;
};

// A listed name that its directory no longer holds.
Error recordNotFound(const std::string& rowName, const std::string& imagePath);

// The first listed record of the directory whose name is exactly `rowName`
// (case-sensitive). ErrorKind::NotFound when the directory holds none.
Result<RecordLocation> findDirectoryRecord(const std::string& imagePath, uint64_t extentOffset,
                                           const std::string& rowName);
Result<RecordLocation> findDirectoryRecord(const EditorState& state, DirectoryNumber directory,
                                           const std::string& rowName);

// Rewrites record offsets 2-9 with `lba` and, when `size` is given, 10-17 with it; no other
// byte. Refuses, writing nothing, unless the record at `location` still holds the identifier,
// extent and length the walk found. The bytes are synced to the disk before it returns.
Result<void> patchDirectoryRecord(const std::string& imagePath, const RecordLocation& location,
                                  uint32_t lba, std::optional<uint32_t> size);
// Patches a record of the presented volume. On layer 1 the record is patched in the image
// and then in the layer-1 copy, so the edit lasts and the listing shows it; neither file is
// written unless both still hold the record.
Result<void> patchDirectoryRecord(const EditorState& state, const RecordLocation& location,
                                  uint32_t lba, std::optional<uint32_t> size);

}  // namespace kestrel
