// Opening a volume, walking its path table, listing its directories and finding every
// listed file's record again, on images of any bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    static const fuzz::Scratch scratch;
    const auto image = scratch.path("image.iso");
    fuzz::writeImage({data, size}, image);

    EditorState state;
    state.layerCopyPath = scratch.path("layer1.tmp");
    state.chooseImage(image);
    checks::browseVolume(state);
    return 0;
}
