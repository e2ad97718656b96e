// The walk over the little-endian path table.
#pragma once

#include <cstdint>
#include <vector>

#include "image/ImageFile.h"
#include "image/Volume.h"

namespace kestrel {

// `rootExtentOffset` is the position of the root record's extent field, two bytes into the
// table. The walk ends at a zero identifier length, at the end of the file, or at the
// 65,535th directory; the table's recorded size is not consulted.
Result<std::vector<PathTableDirectory>> readPathTable(const ImageFile& image,
                                                      uint64_t rootExtentOffset);

}  // namespace kestrel
