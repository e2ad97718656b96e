// What the image is, in the words of the line under the path box: "CD-ROM",
// "Single-Layer DVD (DVD5)", "Dual-Layer DVD (DVD9) - Layer 1", or for the descriptor layout
// what it carries, "ISO 9660 - Joliet, Rock Ridge, El Torito".
#pragma once

#include <string>

#include "image/Volume.h"

namespace kestrel {

// "ISO 9660 - Joliet, Rock Ridge, El Torito, UDF", or "ISO 9660" alone.
std::string carriedText(const VolumeFeatures& features);

// `dualLayer` when the image has a second volume; `layerOne` when it is the one presented.
std::string discKindText(const Volume& volume, bool dualLayer, bool layerOne);

}  // namespace kestrel
