// The dual-layer check and both layers of images of any bytes: open layer 0, decide whether a
// second volume follows and copy its start, then switch, browse layer 1 and switch back.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    auto session = fuzz::openDescribedImage({data, size});
    if (!session) {
        return 0;
    }
    const auto before = fuzz::readWholeFile(session->imagePath());
    const auto check = session->checkDualLayer();
    if (fuzz::readWholeFile(session->imagePath()) != before) {
        throw checks::BrokenPromise("the dual-layer check changed the image");
    }
    if (check.verdict != DualLayerCheck::Verdict::DualLayer) {
        if (session->hasLayerOneCopy()) {
            throw checks::BrokenPromise("a copy that was not made counts as made");
        }
        return 0;
    }
    // The copy holds the image's bytes from layer 1's start, and no more than the image has.
    const auto copy = fuzz::readWholeFile(session->layerCopyPath());
    const auto layerOneStart = session->layer0Bytes() - kLayerOneLead;
    if (copy.size() > before.size() - layerOneStart ||
        !std::equal(copy.begin(), copy.end(),
                    before.begin() + static_cast<ptrdiff_t>(layerOneStart))) {
        throw checks::BrokenPromise(
            "the layer-1 copy is not the image's bytes from layer 1's start");
    }
    if (session->switchLayers()) {
        checks::browseVolume(*session);
    }
    (void)session->switchLayers();
    if (session->presentsLayerOne()) {
        throw checks::BrokenPromise("switching twice did not come back to layer 0");
    }
    return 0;
}
