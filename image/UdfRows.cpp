#include "image/UdfRows.h"

#include <algorithm>
#include <cstdint>

#include "image/NameText.h"
#include "image/UdfTag.h"

namespace kestrel {

namespace {

bool listed(const UdfEntry& entry) {
    return !entry.directory;
}

std::string dateText(const UdfTimestamp& stamp) {
    return formatListDate(stamp.year, stamp.month, stamp.day);
}

}  // namespace

std::string udfRowName(const UdfEntry& entry) {
    return imageBytesFromUtf8(entry.name);
}

RecordLocation udfLocationOf(const UdfEntry& entry) {
    const UdfFileEntry& file = entry.file;
    RecordLocation location;
    location.recordOffset = uint64_t{file.sector} * kUdfBlockSize;
    location.identifier = udfRowName(entry);
    if (file.allocation == UdfAllocation::Embedded) {
        location.embeddedOffset = file.embeddedOffset;
        location.dataLength = static_cast<uint32_t>(file.informationLength);
        return location;
    }
    // The extents' lengths are whole blocks but the last; the information length is the
    // file's, so no extent is taken to hold more of it than that.
    uint64_t left = file.informationLength;
    std::vector<Extent> extents;
    for (const UdfExtent& extent : file.extents) {
        if (left == 0) {
            break;
        }
        if (extent.type != UdfExtentType::Recorded) {
            location.brokenChain =
                "its data has an extent that is allocated but not recorded, which reads as "
                "zeros; what follows it is not read";
            break;
        }
        const auto length = static_cast<uint32_t>(std::min<uint64_t>(extent.length, left));
        extents.push_back({extent.firstSector, length});
        left -= length;
    }
    if (file.cutShort && location.brokenChain.empty()) {
        location.brokenChain = *file.cutShort;
    }
    if (!extents.empty()) {
        location.extentLba = extents.front().lba;
        location.dataLength = extents.front().length;
    }
    if (extents.size() > 1 || !location.brokenChain.empty()) {
        location.extents = std::move(extents);
    }
    return location;
}

DirectoryListing listUdfFiles(const UdfDirectory& directory) {
    DirectoryListing listing;
    for (const UdfEntry& entry : directory.entries) {
        if (!listed(entry)) {
            continue;
        }
        const RecordLocation location = udfLocationOf(entry);
        ListRow row;
        row.name = location.identifier;
        row.extentLba = location.extentLba;
        row.dataLength = location.dataLength;
        row.totalLength = location.embeddedOffset ? location.dataLength : fileSize(location);
        row.lba = std::to_string(static_cast<int32_t>(row.extentLba));
        row.size = std::to_string(row.totalLength);
        row.dateModified = dateText(entry.file.modified);
        row.extents = location.extents;
        row.brokenChain = location.brokenChain;
        listing.rows.push_back(std::move(row));
    }
    // As an ISO 9660 directory lists, the last file first.
    std::ranges::reverse(listing.rows);
    return listing;
}

const UdfEntry* findUdfFile(const UdfDirectory& directory, const std::string& rowName) {
    const auto found = std::ranges::find_if(directory.entries, [&rowName](const UdfEntry& entry) {
        return listed(entry) && udfRowName(entry) == rowName;
    });
    return found == directory.entries.end() ? nullptr : &*found;
}

}  // namespace kestrel
