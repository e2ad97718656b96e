#include "image/DirectoryWalk.h"

#include <algorithm>
#include <optional>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"
#include "image/WindowedReader.h"

namespace kestrel {

namespace {

constexpr uint64_t kLargestWindow = 64 * 1024;

uint64_t roundUpToSector(uint64_t bytes) {
    return (bytes + kSectorSize - 1) / kSectorSize * kSectorSize;
}

// The first sector is always walked to its first zero length byte, whatever "." claims;
// later sectors only as far as the directory's recorded size reaches, and never into the
// next directory's extent.
Result<uint64_t> endOf(WindowedReader& reader, DirectoryPlace place) {
    const uint64_t extentOffset = place.offset;
    // Read from the extent's start, where the walk goes on reading.
    auto dot = reader.view(extentOffset, record::kDataLength + 4);
    if (!dot) {
        return dot.error();
    }
    const uint64_t recordedSize =
        dot->size() == record::kDataLength + 4 ? readLe32(*dot, record::kDataLength) : 0;
    return std::min(place.limit,
                    extentOffset + std::max(roundUpToSector(recordedSize), kSectorSize));
}

// Behind "." and "..", each of which must be a record of its own; without them the
// directory lists nothing, and `end` is returned.
Result<uint64_t> firstListedRecord(WindowedReader& reader, uint64_t extentOffset,
                                   ListingStart start, uint64_t end) {
    if (start == ListingStart::Fixed) {
        return extentOffset + kFixedListingOffset;
    }
    uint64_t position = extentOffset;
    for (int dotRecord = 0; dotRecord < 2; ++dotRecord) {
        auto length = reader.view(position, 1);
        if (!length) {
            return length.error();
        }
        if (length->empty() || (*length)[0] < record::kMinimumLength) {
            return end;
        }
        position += (*length)[0];
    }
    return position;
}

// The record at the start of `inSector` (the bytes from its length byte to the end of its
// sector), by the rules parseDirectoryRecord reads it by: at least the minimum length, whole
// inside the sector, its identifier inside the record.
std::optional<std::span<const uint8_t>> wholeRecord(std::span<const uint8_t> inSector) {
    const size_t length = inSector[record::kLength];
    if (length < record::kMinimumLength || length > inSector.size() ||
        record::kIdentifier + inSector[record::kIdentifierLength] > length) {
        return std::nullopt;
    }
    return inSector.first(length);
}

}  // namespace

Result<uint64_t> directoryEnd(const ImageSource& image, DirectoryPlace place) {
    // Only the "." record's start is read.
    WindowedReader reader(image, record::kDataLength + sizeof(uint32_t));
    return endOf(reader, place);
}

Result<void> walkDirectory(const ImageSource& image, DirectoryPlace place, ListingStart start,
                           const std::function<WalkStep(const WalkedRecord&)>& visit) {
    return walkRecordViews(image, place, start, [&visit](const RecordView& view) {
        const auto parsed = parseDirectoryRecord(view.bytes);
        return parsed ? visit(WalkedRecord{view.offset, *parsed}) : WalkStep::Stop;
    });
}

Result<void> walkRecordViews(const ImageSource& image, DirectoryPlace place, ListingStart start,
                             const std::function<WalkStep(const RecordView&)>& visit) {
    // The first sector is read first, and further windows only as large as the directory:
    // most are a sector, and a walk of each of tens of thousands would otherwise copy a whole
    // window for it.
    WindowedReader reader(image, kSectorSize);
    const auto end = endOf(reader, place);
    if (!end) {
        return end.error();
    }
    reader.widen(std::min<uint64_t>(*end - place.offset, kLargestWindow));
    auto position = firstListedRecord(reader, place.offset, start, *end);
    if (!position) {
        return position.error();
    }
    while (*position < *end) {
        auto bytes = reader.view(*position, record::kMaximumLength);
        if (!bytes) {
            return bytes.error();
        }
        if (bytes->empty()) {
            break;
        }
        const uint8_t length = (*bytes)[record::kLength];
        if (length == 0) {
            // ISO 9660 zero-fills a sector behind its last record; the directory goes on
            // in the next sector. A sector without a first record holds no more, so a "."
            // claiming gigabytes cannot make the walk read them.
            if (*position % kSectorSize == 0) {
                break;
            }
            *position = (*position / kSectorSize + 1) * kSectorSize;
            continue;
        }
        // A record never crosses into the next sector, whose bytes belong to other records.
        const auto inSector =
            bytes->first(std::min<uint64_t>(bytes->size(), kSectorSize - *position % kSectorSize));
        const auto whole = wholeRecord(inSector);
        if (!whole) {
            break;
        }
        if (visit(RecordView{*position, *whole}) == WalkStep::Stop) {
            break;
        }
        *position += length;
    }
    return {};
}

}  // namespace kestrel
