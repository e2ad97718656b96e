// The dual-layer check and both layers of images of any bytes: open layer 0 and list its
// root, which decides how much of layer 1 is copied, then copy, switch and browse layer 1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"
#include "image/DirectoryListing.h"
#include "image/DualLayer.h"
#include "image/IsoLayout.h"
#include "image/Volume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    EditorState state;
    fuzz::chooseDescribedImage({data, size}, state);
    if (!openVolume(state) || !listDirectory(state, 1)) {
        return 0;
    }
    const auto before = fuzz::readWholeFile(state.selectedIsoPath);
    const auto check = checkDualLayer(state);
    if (fuzz::readWholeFile(state.selectedIsoPath) != before) {
        throw checks::BrokenPromise("the dual-layer check changed the image");
    }
    if (check.verdict != DualLayerCheck::Verdict::DualLayer) {
        if (state.layerCopyMade) {
            throw checks::BrokenPromise("a copy that was not made counts as made");
        }
        return 0;
    }
    // The copy holds the image's bytes from layer 1's start, and no more than the image has.
    const auto copy = fuzz::readWholeFile(state.layerCopyPath);
    const auto layerOneStart = static_cast<uint64_t>(state.layer0Bytes) - kLayerOneLead;
    if (copy.size() > before.size() - layerOneStart ||
        !std::equal(copy.begin(), copy.end(),
                    before.begin() + static_cast<ptrdiff_t>(layerOneStart))) {
        throw checks::BrokenPromise(
            "the layer-1 copy is not the image's bytes from layer 1's start");
    }
    switchLayers(state);
    checks::browseVolume(state);
    switchLayers(state);
    if (state.presentsLayerOne()) {
        throw checks::BrokenPromise("switching twice did not come back to layer 0");
    }
    return 0;
}
