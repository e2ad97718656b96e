// A directory's extent with one more record, or with a run of records replaced by one: the
// records before stay where they are, and those behind move, each whole inside a sector. The
// extent keeps its size, so nothing outside it changes.
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

// `extent` with the `count` records from byte `recordAt` on replaced by `record`, the records
// behind them moved up; refused when they are not there.
Result<InsertedRecord> replaceRecords(std::span<const uint8_t> extent, size_t recordAt,
                                      size_t count, std::span<const uint8_t> record);

}  // namespace kestrel
