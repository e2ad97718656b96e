// Modify TOC: the values typed for one file's extent LBA and data length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "io/Result.h"
#include "ops/Session.h"

namespace kestrel {

// The LBA value that marks a cancelled edit; an LBA entered as -1 cancels as well.
inline constexpr int32_t kTocCancelled = -1;

// The record holds 32 bits, so 4294967295 is -1 too, and cancels as well.
inline bool cancelsTocEdit(int64_t lba) {
    return static_cast<int32_t>(static_cast<uint32_t>(lba)) == kTocCancelled;
}

// The values one field of the Modify TOC dialog accepts, both ends included.
struct TocRange {
    int64_t lowest;
    int64_t highest;
};
// The LBA is a 32-bit field shown signed, as the list shows it, so both readings are taken.
inline constexpr TocRange kTocLbaRange{INT32_MIN, UINT32_MAX};
// A size is never negative.
inline constexpr TocRange kTocSizeRange{0, UINT32_MAX};

// Reads a decimal number: optional leading blanks, an optional sign, at least one digit and
// nothing after them. Anything else ("abc", "0x1F", "230x", "") and any value outside `range`
// is refused with ErrorKind::OutOfRange and a message that quotes the text. `range` must lie
// within -2^32 to 2^32.
Result<int64_t> parseTocValue(std::string_view text, TocRange range);

// Writes the typed values into the record at `location` and its Joliet twin, as one edit
// that can be undone unless `keepUndo` is false.
Result<PatchOutcome> modifyToc(Session& session, DirectoryNumber directory,
                               const RecordLocation& location, const RecordFields& fields,
                               bool keepUndo = true);

}  // namespace kestrel
