// Extract, Overwrite, Dummy and Relink (with the Joliet twins it brings along) on the root
// directory of images of any bytes: whatever the records claim, each writes only inside the
// byte ranges it owns.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    if (auto session = fuzz::openDescribedImage({data, size})) {
        checks::exerciseOperations(*session, 1, fuzz::scratch().folder());
    }
    return 0;
}
