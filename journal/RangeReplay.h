// The bytes each range of an entry meets when the entry is put back, newest range first. An
// edit may write the same bytes twice (a plan that sets one record twice, a Dummy of files
// that share their data): then an earlier range is met by what the later one saved, not by
// the file as it is now, and it is checked against that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "io/ImageFile.h"
#include "journal/EntryFile.h"

namespace kestrel {

struct ReplayedBytes {
    std::vector<uint8_t> bytes;
    size_t present = 0;  // how many of them the file reaches
};

class RangeReplay {
public:
    // The ranges of `ranges` that write `target`, read from `file`, and are still part of the
    // edit; changes of length are no bytes to replay.
    RangeReplay(const EntryFile& entry, const std::vector<SavedRange>& ranges, JournalTarget target,
                const ImageFile& file);

    // The bytes of range `i` once every later range replayed here is put back.
    Result<ReplayedBytes> before(size_t i) const;

private:
    const EntryFile* entry_;
    const std::vector<SavedRange>* ranges_;
    const ImageFile* file_;
    std::vector<size_t> byOffset_;  // the replayed ranges' numbers, by their first byte
    uint64_t longest_ = 0;
};

// The first block of `range` whose bytes `accepts` refuses, given its number and checksum;
// a block the file does not reach is refused.
std::optional<size_t> firstBlockRefused(const SavedRange& range, const ReplayedBytes& replayed,
                                        const std::function<bool(size_t, uint64_t)>& accepts);

// "bytes 4096 to 6143", the bytes of blocks `first` to `last` of `range`.
std::string byteSpan(const SavedRange& range, size_t first, size_t last);

}  // namespace kestrel
