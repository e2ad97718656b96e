#include "image/RecordLookup.h"

#include <array>
#include <optional>
#include <string_view>

#include "image/ByteOrder.h"

namespace kestrel {

namespace {

// Whether a record's identifier lists as `rowName`. Most records of a large directory differ
// from the name in their first bytes, and are passed without building the name they list as.
bool listsAs(std::string_view identifier, const std::string& rowName) {
    return identifier.starts_with(rowName) && nameOf(std::string(identifier)) == rowName;
}

}  // namespace

RecordLocation locationOf(const WalkedRecord& walked) {
    return RecordLocation{walked.offset,
                          walked.record.extentLba,
                          walked.record.dataLength,
                          walked.record.identifier,
                          {},
                          {},
                          std::nullopt};
}

RecordLocation locationOf(const RecordView& view) {
    return RecordLocation{
        view.offset, view.extentLba(), view.dataLength(), std::string(view.identifier()), {},
        {},          std::nullopt};
}

RecordLocation locationOf(const ListedRecords& file) {
    RecordLocation location = locationOf(file.first);
    if (file.chained) {
        location.extents.assign(file.extents.begin(), file.extents.end());
        location.brokenChain = file.brokenChain;
    }
    return location;
}

std::vector<Extent> fileExtents(const RecordLocation& location) {
    return location.isChained() ? location.extents
                                : std::vector<Extent>{{location.extentLba, location.dataLength}};
}

uint64_t fileSize(const RecordLocation& location) {
    uint64_t total = 0;
    for (const auto& extent : fileExtents(location)) {
        total += extent.length;
    }
    return total;
}

Error recordNotFound(const std::string& rowName, const std::string& imagePath) {
    return Error{ErrorKind::NotFound,
                 rowName + " is no longer in its directory of " + imagePath + "; nothing was done"};
}

Result<RecordLocation> readAgain(const ImageSource& image, const RecordLocation& found) {
    // The record's bytes as far as its data length's little-endian half.
    std::array<uint8_t, record::kDataLength + sizeof(uint32_t)> fields{};
    auto read = image.readAt(found.recordOffset, fields);
    if (!read) {
        return read.error();
    }
    if (*read < fields.size()) {
        return recordNotFound(nameOf(found.identifier), image.path());
    }
    RecordLocation location = found;
    location.extentLba = readLe32(fields, record::kExtentLba);
    location.dataLength = readLe32(fields, record::kDataLength);
    return location;
}

Result<RecordLocation> findDirectoryRecord(const ImageSource& image, DirectoryPlace place,
                                           ListingStart start, const std::string& rowName,
                                           uint64_t dataEnd) {
    std::optional<RecordLocation> found;
    auto walked = walkListedFiles(image, place, start, dataEnd, [&](const auto& file) {
        if (!listsAs(file.first.identifier(), rowName)) {
            return WalkStep::Continue;
        }
        found = locationOf(file);
        return WalkStep::Stop;
    });
    if (!walked) {
        return walked.error();
    }
    if (!found) {
        return recordNotFound(rowName, image.path());
    }
    return *found;
}

}  // namespace kestrel
