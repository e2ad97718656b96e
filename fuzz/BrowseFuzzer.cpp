// Opening a volume, walking its path table, listing its directories and finding every
// listed file's record again, on images of any bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    EditorState state;
    fuzz::chooseDescribedImage({data, size}, state);
    checks::browseVolume(state);
    return 0;
}
