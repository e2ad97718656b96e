// A write of user data into a raw image, as the whole sectors it touches: the new user data
// put in, every other byte the sector had (sync, header, subheader) kept, and its error
// codes computed again, so that drives and emulators still read it as undamaged.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/ImageFile.h"
#include "io/RawLayout.h"

namespace kestrel {

struct SectorRewrite {
    uint64_t firstLba = 0;
    std::vector<uint8_t> oldSectors;  // left empty when not kept
    std::vector<uint8_t> newSectors;

    uint64_t sectorCount() const { return newSectors.size() / kRawSectorSize; }
};

// Reads the sectors that user data `bytes` at cooked `offset` touches into `rewrite` and
// makes their new bytes. A sector keeps its form: a Form 2 sector holds 276 bytes behind the
// 2048 a cooked offset reaches, and a write that runs to the end of those 2048 writes them
// as zeros, so that blanking a file blanks all its data; its EDC stays zero where it was.
// A damaged sector, or one past the track's end, is refused. The old sectors are kept only
// when `keepOld`, for the undo journal: copying them costs a tenth of a write's time.
Result<void> prepareSectorRewrite(const ImageFile& file, const RawLayout& layout, uint64_t offset,
                                  std::span<const uint8_t> bytes, SectorRewrite& rewrite,
                                  bool keepOld);

// Whether the sectors `rewrite` holds from `lba` put `bytes` where cooked `offset` lies.
bool carriesUserData(const SectorRewrite& rewrite, const RawLayout& layout, uint64_t offset,
                     std::span<const uint8_t> bytes);

}  // namespace kestrel
