// A directory's extent read whole, and written back with the records an edit changed: only
// the bytes that differ are written, after checking that the extent is still as it was read.
#pragma once

#include <cstdint>
#include <vector>

#include "image/DirectoryRecord.h"
#include "image/DirectoryWalk.h"
#include "io/ImageSource.h"
#include "ops/ImageWriter.h"

namespace kestrel {

// A directory's whole extent, as long as its "." record says, and that record.
struct ReadDirectory {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
    DirectoryRecord dot;
};

// Refused when the extent reaches past where the directory's records may lie.
Result<ReadDirectory> readDirectoryExtent(const ImageSource& image, DirectoryPlace place);

// A directory's extent as it is and as it is to be.
struct DirectoryRewrite {
    uint64_t offset = 0;  // of the extent in the image's user data
    std::vector<uint8_t> before;
    std::vector<uint8_t> after;
};

// Writes the rewrite's changed bytes into a file that holds the volume from `volumeStart`;
// refused, writing nothing, when the extent changed since it was read.
Result<void> writeDirectoryRewrite(ImageWriter& image, const DirectoryRewrite& rewrite,
                                   uint64_t volumeStart = 0);

// Writes each rewrite into `edit`'s image, whose volume starts `layerOffset` bytes in, and
// syncs it. On layer 1 (an offset other than 0) each is then written into the layer-1 copy,
// which the session reads the directories from, so that the copy never shows what the image
// lacks. A failure leaves what was written to the caller's rollback.
Result<void> writeDirectoryRewrites(JournalEdit& edit,
                                    const std::vector<const DirectoryRewrite*>& rewrites,
                                    uint64_t layerOffset);

}  // namespace kestrel
