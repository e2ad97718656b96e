#include "image/DirectoryListing.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "image/DirectoryWalk.h"
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

std::string formatRecordDate(const RecordDate& date) {
    const bool monthKnown = date.month >= 1 && date.month <= kMonthNames.size();
    return format("%s %d, %d", monthKnown ? kMonthNames[date.month - 1] : kUnknownMonth,
                  int{date.day}, 1900 + date.yearsSince1900);
}

ListRow makeListRow(const DirectoryRecord& record) {
    return ListRow{record.name(),
                   format("%ld", long{static_cast<int32_t>(record.extentLba)}),
                   format("%u", unsigned{record.dataLength}),
                   formatRecordDate(record.date),
                   {},
                   record.extentLba,
                   record.dataLength};
}

Result<DirectoryListing> listDirectory(const ImageSource& image, DirectoryPlace place,
                                       ListingStart start) {
    DirectoryListing listing;
    auto walked = walkDirectory(image, place, start, [&](const WalkedRecord& walked) {
        if (!listing.firstRecordLba) {
            listing.firstRecordLba = walked.record.extentLba;
        }
        if (walked.record.isListed()) {
            listing.rows.push_back(makeListRow(walked.record));
            listing.rows.back().longName = rockRidgeName(walked.record, image).value_or("");
        }
        return WalkStep::Continue;
    });
    if (!walked) {
        return walked.error();
    }
    std::reverse(listing.rows.begin(), listing.rows.end());
    return listing;
}

}  // namespace kestrel
