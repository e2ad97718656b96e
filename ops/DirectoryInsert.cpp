#include "ops/DirectoryInsert.h"

#include <algorithm>

namespace kestrel {

namespace {

constexpr size_t kSectorBytes = 2048;
constexpr size_t kDotRecords = 2;

struct Placed {
    size_t at = 0;
    std::span<const uint8_t> bytes;
};

// The directory's records in the order they lie; refused when one is not whole inside its
// sector, or "." and ".." are missing.
Result<std::vector<Placed>> recordsIn(std::span<const uint8_t> extent) {
    std::vector<Placed> records;
    for (size_t at = 0; at < extent.size();) {
        const size_t length = extent[at];
        if (length == 0) {
            at = (at / kSectorBytes + 1) * kSectorBytes;
            continue;
        }
        const size_t sectorEnd = (at / kSectorBytes + 1) * kSectorBytes;
        if (at + length > std::min(sectorEnd, extent.size()) ||
            !parseDirectoryRecord(extent.subspan(at, length))) {
            return Error{ErrorKind::InvalidInput,
                         "The directory's record at byte " + std::to_string(at) +
                             " of its extent is not whole inside its sector; nothing was written"};
        }
        records.push_back({at, extent.subspan(at, length)});
        at += length;
    }
    if (records.size() < kDotRecords) {
        return Error{ErrorKind::InvalidInput,
                     "The directory does not start with its \".\" and \"..\" records; nothing "
                     "was written"};
    }
    return records;
}

// The extent with records[first, first + removed) replaced by `added`, the records behind
// them moved up or down, each whole inside a sector; refused when they do not fit.
Result<InsertedRecord> relaid(std::span<const uint8_t> extent, const std::vector<Placed>& records,
                              size_t first, size_t removed, std::span<const uint8_t> added) {
    InsertedRecord relaid;
    relaid.extent.assign(extent.begin(), extent.end());
    size_t at = first < records.size() ? records[first].at
                                       : records.back().at + records.back().bytes.size();
    std::fill(relaid.extent.begin() + static_cast<ptrdiff_t>(at), relaid.extent.end(), 0);
    const auto place = [&](std::span<const uint8_t> bytes) {
        if (at % kSectorBytes + bytes.size() > kSectorBytes) {
            at = (at / kSectorBytes + 1) * kSectorBytes;
        }
        if (at + bytes.size() > relaid.extent.size()) {
            return false;
        }
        std::ranges::copy(bytes, relaid.extent.begin() + static_cast<ptrdiff_t>(at));
        at += bytes.size();
        return true;
    };
    bool fits = added.empty() || place(added);
    relaid.recordAt = at - added.size();
    for (size_t i = first + removed; fits && i < records.size(); ++i) {
        fits = place(records[i].bytes);
    }
    if (!fits) {
        size_t used = 0;
        for (const auto& held : records) {
            used += held.bytes.size();
        }
        return Error{ErrorKind::OutOfRange,
                     "The new record needs " + std::to_string(added.size()) +
                         " bytes, the directory has " + std::to_string(extent.size() - used) +
                         " free (a record never crosses a sector's end); the directory's extent "
                         "is not made larger, since that would move what follows it. Nothing "
                         "was written"};
    }
    return relaid;
}

}  // namespace

Result<InsertedRecord> insertRecord(std::span<const uint8_t> extent,
                                    std::span<const uint8_t> record,
                                    const std::function<bool(const DirectoryRecord&)>& sortsAfter) {
    const auto records = recordsIn(extent);
    if (!records) {
        return records.error();
    }
    size_t insertAt = kDotRecords;
    while (insertAt < records->size() &&
           !sortsAfter(*parseDirectoryRecord((*records)[insertAt].bytes))) {
        ++insertAt;
    }
    return relaid(extent, *records, insertAt, 0, record);
}

Result<InsertedRecord> replaceRecords(std::span<const uint8_t> extent, size_t recordAt,
                                      size_t count, std::span<const uint8_t> record) {
    const auto records = recordsIn(extent);
    if (!records) {
        return records.error();
    }
    const auto first = std::ranges::find(*records, recordAt, &Placed::at);
    const auto index = static_cast<size_t>(first - records->begin());
    if (first == records->end() || index < kDotRecords || index + count > records->size()) {
        return Error{ErrorKind::Changed,
                     "The directory no longer holds the file's records where they were read; "
                     "nothing was written"};
    }
    return relaid(extent, *records, index, count, record);
}

}  // namespace kestrel
