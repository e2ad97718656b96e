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

}  // namespace

Result<InsertedRecord> insertRecord(std::span<const uint8_t> extent,
                                    std::span<const uint8_t> record,
                                    const std::function<bool(const DirectoryRecord&)>& sortsAfter) {
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
    size_t insertAt = kDotRecords;
    while (insertAt < records.size() &&
           !sortsAfter(*parseDirectoryRecord(records[insertAt].bytes))) {
        ++insertAt;
    }
    InsertedRecord inserted;
    inserted.extent.assign(extent.begin(), extent.end());
    size_t at = insertAt < records.size() ? records[insertAt].at
                                          : records.back().at + records.back().bytes.size();
    std::fill(inserted.extent.begin() + static_cast<ptrdiff_t>(at), inserted.extent.end(), 0);
    const auto place = [&](std::span<const uint8_t> bytes) {
        if (at % kSectorBytes + bytes.size() > kSectorBytes) {
            at = (at / kSectorBytes + 1) * kSectorBytes;
        }
        if (at + bytes.size() > inserted.extent.size()) {
            return false;
        }
        std::ranges::copy(bytes, inserted.extent.begin() + static_cast<ptrdiff_t>(at));
        at += bytes.size();
        return true;
    };
    bool fits = place(record);
    inserted.recordAt = at - record.size();
    for (size_t i = insertAt; fits && i < records.size(); ++i) {
        fits = place(records[i].bytes);
    }
    if (!fits) {
        size_t used = 0;
        for (const auto& held : records) {
            used += held.bytes.size();
        }
        return Error{ErrorKind::OutOfRange,
                     "The new record needs " + std::to_string(record.size()) +
                         " bytes, the directory has " + std::to_string(extent.size() - used) +
                         " free (a record never crosses a sector's end); the directory's extent "
                         "is not made larger, since that would move what follows it. Nothing "
                         "was written"};
    }
    return inserted;
}

}  // namespace kestrel
