// A bridge image grown at its end keeps its UDF partition where it was, so sectors added
// behind the volume lie outside it and no UDF entry may name them. Growing the partition over
// them lets the UDF twin of a record moved there, or a new file's entry, follow the ISO 9660
// record.
#pragma once

#include <cstdint>

#include "journal/JournalEdit.h"
#include "ops/UdfTwin.h"

namespace kestrel {

// Grows the partition that starts at `start` and holds `sectors` to end before `endSector`:
// its descriptor in both sequences and the integrity descriptor's size table record the new
// length, each with its tag sealed again. Nothing is written when it already reaches there.
// Refused, writing nothing, when a descriptor no longer holds what was read, when the
// partition keeps a record of its free space (which would not cover the sectors added), or
// when another partition lies behind it.
Result<void> growUdfPartition(JournalEdit& edit, const UdfPartitionPlaces& places, uint32_t start,
                              uint32_t sectors, uint32_t endSector);

}  // namespace kestrel
