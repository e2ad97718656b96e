// Dual-layer DVD images: a second volume starts 32768 bytes before the end of the first.
// The start of that layer-1 volume is copied into a file of its own, which the volume open
// and the listing then read as if it were an image while layer 1 is presented.
#pragma once

#include <optional>

#include "image/EditorState.h"
#include "image/Result.h"

namespace kestrel {

struct DualLayerCheck {
    enum class Verdict {
        CopyAlreadyMade,  // nothing was done
        SingleLayer,
        DualLayer,        // the layer-1 copy was made
        ImageUnreadable,  // no copy; `error` says why
        CopyNotMade,      // a dual-layer image whose copy could not be made; `error` says why
    };

    Verdict verdict;
    std::optional<Error> error;
};

// Classifies a DVD image by its size against layer0Bytes and, for a dual-layer one, copies
// the first layerCopyLength bytes of its layer-1 volume to layerCopyPath. Once the copy is
// made (layerCopyMade), later checks of the same chosen image do nothing.
DualLayerCheck checkDualLayer(EditorState& state);

// Presents the other volume of a dual-layer image: the layer-1 copy, or the chosen image.
void switchLayers(EditorState& state);

}  // namespace kestrel
