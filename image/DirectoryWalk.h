// The one walk over a directory's records, shared by the listing and by every operation that
// finds a listed file's record again, so that each listed row is always found.
#pragma once

#include <cstdint>
#include <functional>

#include "image/DirectoryRecord.h"
#include "io/ImageSource.h"

namespace kestrel {

// Where a directory's own records end and its listing begins.
enum class ListingStart {
    // 96 bytes into the extent, where the fixed layout's 48-byte "." and ".." end.
    Fixed,
    // Behind the "." and ".." records, by the lengths they record.
    BehindDotRecords,
};

struct WalkedRecord {
    uint64_t offset;  // of the record's first byte in the image
    const DirectoryRecord& record;
};

enum class WalkStep { Continue, Stop };

// Visits the records of the directory whose extent starts at `extentOffset`, from its listing
// start. A zero length byte moves the walk to the next sector while the directory (its size is
// the data length of its "." record) goes on; the walk ends at the directory's end, at a
// sector that starts with a zero length byte, at the end of the image, or at the first record
// that is not whole inside its sector. Records with flags are visited too; the visitor decides
// what they mean.
Result<void> walkDirectory(const ImageSource& image, uint64_t extentOffset, ListingStart start,
                           const std::function<WalkStep(const WalkedRecord&)>& visit);

}  // namespace kestrel
