// Whether a patch Kestrel wrote fits an image: whether xdelta3, applying it to that image,
// would make what it was made to make. Nothing is written.
#pragma once

#include <string>

#include "io/Result.h"
#include "ops/PatchHeader.h"

namespace kestrel {

struct PatchFit {
    bool fits = false;
    std::string reason;  // why not
    // It fits because it makes the image itself: the image holds its edits already.
    bool alreadyApplied = false;
    PatchSource source;  // what the patch says of the image it was made from
};

// The image's size and descriptors are compared with what the patch names; then every window
// is made from the image and its Adler-32 compared with the patch's. An error says why the
// patch or the image could not be read.
Result<PatchFit> checkPatch(const std::string& imagePath, const std::string& patchPath);

}  // namespace kestrel
