// Raw images and their cue sheets of any bytes: the sheet is read or refused with a reason,
// the volume in the track's user data is browsed, and every operation on its root writes only
// the user data it owns and the codes of the sectors it touched, which must hold.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    if (auto session = fuzz::openDescribedRawImage({data, size})) {
        checks::browseVolume(*session);
        checks::exerciseOperations(*session, 1, fuzz::scratch().folder());
    }
    return 0;
}
