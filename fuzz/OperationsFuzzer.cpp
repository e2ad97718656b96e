// Extract, Overwrite, Dummy and Relink on the root directory of images of any bytes: whatever
// the records claim, each writes only inside the byte ranges it owns.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"
#include "image/Volume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    EditorState state;
    fuzz::chooseDescribedImage({data, size}, state);
    if (openVolume(state)) {
        checks::exerciseOperations(state, 1, fuzz::scratch().folder());
    }
    return 0;
}
