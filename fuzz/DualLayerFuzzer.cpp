// The dual-layer check and both layers of images of any bytes: open layer 0 and list its
// root, which decides how much of layer 1 is copied, then copy, switch and browse layer 1.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"
#include "image/DirectoryListing.h"
#include "image/DualLayer.h"
#include "image/Volume.h"

namespace {

uint64_t sizeOf(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    static const fuzz::Scratch scratch;
    const auto image = scratch.path("image.iso");
    fuzz::writeImage({data, size}, image);

    EditorState state;
    state.layerCopyPath = scratch.path("layer1.tmp");
    state.chooseImage(image);
    if (!openVolume(state) || !listDirectory(state, 1)) {
        return 0;
    }
    const auto before = fuzz::readWholeFile(image);
    const auto check = checkDualLayer(state);
    if (fuzz::readWholeFile(image) != before) {
        throw checks::BrokenPromise("the dual-layer check changed the image");
    }
    if (check.verdict != DualLayerCheck::Verdict::DualLayer) {
        if (state.layerCopyMade) {
            throw checks::BrokenPromise("a copy that was not made counts as made");
        }
        return 0;
    }
    if (sizeOf(state.layerCopyPath) > before.size()) {
        throw checks::BrokenPromise("the layer-1 copy is larger than the image it was copied from");
    }
    switchLayers(state);
    checks::browseVolume(state);
    switchLayers(state);
    if (state.presentsLayerOne()) {
        throw checks::BrokenPromise("switching twice did not come back to layer 0");
    }
    return 0;
}
