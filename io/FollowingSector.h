// The raw sector a data track is grown by at its end: the next address, the track's mode and
// user data of zeros, with codes that hold, so that drives and emulators read the track on.
#pragma once

#include "io/Result.h"
#include "io/SectorCodes.h"

namespace kestrel {

// Makes `sector` the empty data sector `after` places past `previous` (the next, by default):
// sync, its address, `previous`'s mode (for Mode 2 a Form 1 data subheader), zeros, and codes.
// Refused when `previous` is no Mode 1 or Mode 2 sector or its address is no minute, second
// and frame.
Result<void> makeFollowingSector(ConstRawSector previous, RawSector sector, uint64_t after = 1);

}  // namespace kestrel
