// A VCDIFF patch (RFC 3284, as xdelta3 applies it) of the edits an image's undo journal keeps:
// it turns the image as it was before them into the image as it is now. It is written from
// the journal, which knows which bytes each edit wrote: bytes no edit wrote are copied from
// the source at the same offsets, the bytes edits wrote are added, and those the journal
// knows to be zeros are a run. Every target window that copies from the source carries the
// Adler-32 of the bytes it makes, so xdelta3 refuses the patch applied to any other image.
// The image is only read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/Result.h"
#include "ops/BlockTransfer.h"

namespace kestrel {

struct PatchRequest {
    std::string imagePath;  // as chosen: an image, a raw image's BIN file or its cue sheet
    std::string patchPath;
    std::optional<uint64_t> since;  // the first edit; the oldest in effect when not given
};

struct PatchWritten {
    std::string path;
    uint64_t bytes = 0;
    uint64_t firstEntry = 0;
    uint64_t lastEntry = 0;
    uint64_t sourceSize = 0;
    uint64_t targetSize = 0;
    uint64_t changedBytes = 0;  // that edits wrote; the rest is copied
};

// Writes the patch, replacing a file of that name only once it is whole; a patch that
// cannot be made is refused with the reason, and no file is left. `observer`, when given, is
// told the patch's name and each percentage of the image gone through.
Result<PatchWritten> writePatch(const PatchRequest& request, OperationObserver* observer = nullptr);

}  // namespace kestrel
