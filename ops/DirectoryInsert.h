// A directory's extent with one more record: the records before it stay where they are, the
// new one goes where the directory's order puts it, and those behind it move up, each whole
// inside a sector. The extent keeps its size, so nothing outside it changes.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "image/DirectoryRecord.h"
#include "io/Result.h"

namespace kestrel {

struct InsertedRecord {
    std::vector<uint8_t> extent;  // the whole extent as it is to be
    size_t recordAt = 0;          // where the new record lies in it
};

// `extent` holds the directory's whole extent, "." and ".." first. The new record goes in
// front of the first record after them that `sortsAfter` says comes behind it. Refused when
// the records are not whole inside their sectors, or when the extent has no room.
Result<InsertedRecord> insertRecord(std::span<const uint8_t> extent,
                                    std::span<const uint8_t> record,
                                    const std::function<bool(const DirectoryRecord&)>& sortsAfter);

}  // namespace kestrel
