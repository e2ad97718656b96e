// Rewriting a directory record's extent and data length in place, in both byte orders.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "image/RecordLookup.h"
#include "journal/JournalEdit.h"
#include "ops/UdfTwin.h"

namespace kestrel {

// The new fields of a record: offsets 2-9 get `lba` and, when `size` is given, 10-17 get it.
struct RecordFields {
    uint32_t lba = 0;
    std::optional<uint32_t> size;
};

// What a record edit did beyond the primary record: the views of the file it could not
// bring along, each with the reason.
struct PatchOutcome {
    std::optional<std::string> viewNotUpdated;
    bool udfTwinPatched = false;
};

// The records one edit of a file's record writes, found before any is written: the primary
// record and, where the image has a Joliet tree, its twin, or why none was found. On layer 1
// of a dual-layer image each lies in the image `layerOffset` bytes on and in the layer-1 copy.
struct RecordTargets {
    RecordLocation primary;
    std::optional<RecordLocation> jolietTwin;
    std::optional<std::string> twinMissing;
    // Where the image also has a UDF file system: the file's entry there, or why none is.
    std::optional<UdfTwin> udfTwin;
    std::optional<std::string> udfMissing;
    std::optional<uint64_t> layerOffset;
    // On a volume of UDF alone the file's entry is its one record: `udfTwin` is what is
    // patched, and an edit that cannot patch it writes nothing.
    bool udfOnly = false;
};

// Patches the targets' records, the primary first: when it cannot be written, nothing is; when
// the twin cannot be, the primary stays and the outcome says why.
Result<PatchOutcome> patchRecordTargets(JournalEdit& edit, const RecordTargets& targets,
                                        const RecordFields& fields);

// Refuses a file stored in a chain of records (a file of several extents): a record edit, or a
// master file's extent, gives a file one LBA and size, which cannot describe it.
Result<void> requireOneExtent(const RecordLocation& location);

// Patches the record found at `location` in the edit's image. Refuses, writing nothing,
// unless the record there still holds the identifier, extent and length the walk found. The
// bytes are synced to the disk before it returns.
Result<void> patchDirectoryRecord(JournalEdit& edit, const RecordLocation& location,
                                  const RecordFields& fields);

// Patches a record found in the edit's layer-1 copy, which its image holds `layerOffset`
// bytes further on: the image first, then the copy, so the copy never shows what the image
// lacks. Neither is written unless both still hold the record.
Result<void> patchMirroredRecord(JournalEdit& edit, uint64_t layerOffset,
                                 const RecordLocation& location, const RecordFields& fields);

}  // namespace kestrel
