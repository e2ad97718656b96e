// Overwrite: puts a replacement file's bytes over one file's data inside the image. Exactly
// the recorded length is written from the first byte of the file's extent: a longer
// replacement gives only its first bytes, a shorter one is followed by zeros. The record and
// the rest of the image stay.
#pragma once

#include <string>

#include "io/ImageFile.h"
#include "ops/BlockTransfer.h"
#include "ops/ImageWriter.h"
#include "ops/OperationSnapshot.h"

namespace kestrel {

// Overwrites one snapshot file with `replacement`'s bytes as part of `edit`, through `image`,
// which is not synced here.
Result<void> overwriteFileData(ImageWriter& image, JournalEdit& edit,
                               const OperationSnapshot& snapshot, const SnapshotFile& file,
                               const ImageFile& replacement, OperationObserver& observer);

// Overwrites the snapshot's first file and syncs the image; nothing is written when the
// record, the replacement or the image's place for the data cannot be had.
Result<void> overwriteFile(const OperationSnapshot& snapshot, const std::string& replacementPath,
                           OperationObserver& observer);

}  // namespace kestrel
