#include "image/DirectoryListing.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "image/DirectoryWalk.h"
#include "image/IsoLayout.h"
#include "image/LongNames.h"

namespace kestrel {

namespace {

// Spelled as the editor has always shown them; users compare listings by these texts.
constexpr std::array<const char*, 12> kMonthNames = {
    "January", "Febuary", "March",     "April",   "May",       "June",
    "July",    "August",  "September", "October", "Novemeber", "December"};
constexpr const char* kUnknownMonth = "Unknown";

std::string format(const char* pattern, auto... values) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), pattern, values...);
    return text.data();
}

}  // namespace

std::string formatListDate(int year, unsigned month, unsigned day) {
    const bool monthKnown = month >= 1 && month <= kMonthNames.size();
    return format("%s %u, %d", monthKnown ? kMonthNames[month - 1] : kUnknownMonth, day, year);
}

std::string formatRecordDate(const RecordDate& date) {
    return formatListDate(1900 + date.yearsSince1900, date.month, date.day);
}

ListRow makeListRow(const DirectoryRecord& record) {
    return ListRow{record.name(),
                   format("%ld", long{static_cast<int32_t>(record.extentLba)}),
                   format("%u", unsigned{record.dataLength}),
                   formatRecordDate(record.date),
                   {},
                   record.extentLba,
                   record.dataLength,
                   record.dataLength,
                   {},
                   {}};
}

ListRow makeListRow(const DirectoryRecord& first, const ListedRecords& file) {
    ListRow row = makeListRow(first);
    if (file.chained) {
        row.totalLength = file.size();
        row.size = std::to_string(row.totalLength);
        row.extents.assign(file.extents.begin(), file.extents.end());
        row.brokenChain = file.brokenChain;
    }
    return row;
}

uint64_t ListRow::sectors() const {
    const auto sectorsOf = [](uint64_t bytes) { return (bytes + kSectorSize - 1) / kSectorSize; };
    if (extents.empty()) {
        return sectorsOf(totalLength);
    }
    uint64_t total = 0;
    for (const auto& extent : extents) {
        total += sectorsOf(extent.length);
    }
    return total;
}

Extent ListRow::lastRecordExtent() const {
    return extents.empty() ? Extent{extentLba, dataLength} : extents.back();
}

Result<DirectoryListing> listDirectory(const ImageSource& image, DirectoryPlace place,
                                       ListingStart start, uint64_t dataEnd) {
    DirectoryListing listing;
    ListedFileChains files(dataEnd, [&](const ListedRecords& file) {
        // As walkDirectory, which the walk's rules for whole records make never stop here.
        const auto first = parseDirectoryRecord(file.first.bytes);
        if (!first) {
            return WalkStep::Stop;
        }
        listing.rows.push_back(makeListRow(*first, file));
        listing.rows.back().longName = rockRidgeName(*first, image).value_or("");
        return WalkStep::Continue;
    });
    auto walked = walkRecordViews(image, place, start, [&](const RecordView& record) {
        if (!listing.firstRecordLba) {
            listing.firstRecordLba = record.extentLba();
        }
        return files.add(record);
    });
    if (!walked) {
        return walked.error();
    }
    files.finish();
    std::reverse(listing.rows.begin(), listing.rows.end());
    return listing;
}

}  // namespace kestrel
