// A bridge image grown at its end keeps its UDF partition where it was, so sectors added
// behind the volume lie outside it and no UDF entry may name them. Growing the partition over
// them lets the UDF twin of a record moved there follow it, as the ISO 9660 record does.
#pragma once

#include <cstdint>

#include "journal/JournalEdit.h"
#include "ops/UdfTwin.h"

namespace kestrel {

// Grows the twin's partition to end before `endSector`: its descriptor in both sequences and
// the integrity descriptor's size table record the new length, each with its tag sealed
// again. Returns the twin as its partition now is. Refused, writing nothing, when a
// descriptor no longer holds what was read, when the partition keeps a record of its free
// space (which would not cover the sectors added), or when another partition lies behind it.
Result<UdfTwin> growUdfPartition(JournalEdit& edit, const UdfTwin& twin, uint32_t endSector);

}  // namespace kestrel
