// Opening a volume through either layout, walking its path table or its directories, listing
// them with their long names and finding every listed file's record again, on images of any
// bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    if (auto session = fuzz::openDescribedImage({data, size})) {
        checks::browseVolume(*session);
    }
    return 0;
}
