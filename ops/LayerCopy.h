// The copy of the start of a dual-layer image's layer-1 volume, which the session then reads
// as if it were an image while layer 1 is presented.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/ImageFile.h"

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

    static DualLayerCheck failed(Verdict verdict, Error error) {
        return DualLayerCheck{verdict, std::move(error)};
    }
};

// Makes `copy` readable by its owner only and `length` bytes long, holding those from `start`
// of the image, which holds at least that many. The image itself is never the copy.
DualLayerCheck copyLayerOneStart(const ImageSource& image, uint64_t start, uint64_t length,
                                 ImageFile& copy);

}  // namespace kestrel
