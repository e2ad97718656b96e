// Dual-layer DVD images: a second volume starts 32768 bytes before the end of the first, so
// its volume descriptor (its sector 16) lies right behind layer 0.
#pragma once

#include <cstdint>

#include "io/ImageSource.h"

namespace kestrel {

// A layer-1 volume starts this many bytes before the end of layer 0.
inline constexpr uint64_t kLayerOneLead = 0x8000;

// Whether a volume descriptor ("CD001") stands where layer 1's would, `layer0Bytes` into the
// image; an image merely padded beyond its volume has none there.
Result<bool> hasLayerOneDescriptor(const ImageSource& image, uint64_t layer0Bytes);

}  // namespace kestrel
