// The one walk over a directory's records, shared by the listing and by every operation that
// finds a listed file's record again, so that each listed row is always found.
#pragma once

#include <cstdint>
#include <functional>

#include <string>
#include "image/DirectoryRecord.h"

#include "image/Result.h"

namespace kestrel {

struct WalkedRecord {
    uint64_t offset;  // of the record's first byte in the file
    const DirectoryRecord& record;
};

enum class WalkStep { Continue, Stop };

// Visits the records of the directory whose extent starts at `extentOffset` in the file at
// `imagePath`, beginning 96
// bytes in (behind "." and ".."). A zero length byte moves the walk to the next sector while
// the directory (its size is the data length of its "." record) goes on; the walk ends at the
// directory's end, at a sector that starts with a zero length byte, at the end of the file,
// or at the first record that is not whole inside its sector. Records with flags are visited
// too; the visitor decides what they mean.
Result<void> walkDirectory(const std::string& imagePath, uint64_t extentOffset,
                           const std::function<WalkStep(const WalkedRecord&)>& visit);

}  // namespace kestrel
