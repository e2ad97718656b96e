// The P and Q Reed-Solomon parity of a raw CD sector (bytes 2076..2351), computed from the
// header, data, EDC and reserved bytes (12..2075) as they stand.
#pragma once

#include "io/SectorCodes.h"

namespace kestrel {

void writeSectorParity(RawSector sector);

}  // namespace kestrel
