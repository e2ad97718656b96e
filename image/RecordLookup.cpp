#include "image/RecordLookup.h"

#include <optional>

namespace kestrel {

RecordLocation locationOf(const WalkedRecord& walked) {
    return RecordLocation{walked.offset, walked.record.extentLba, walked.record.dataLength,
                          walked.record.identifier};
}

Error recordNotFound(const std::string& rowName, const std::string& imagePath) {
    return Error{ErrorKind::NotFound,
                 rowName + " is no longer in its directory of " + imagePath + "; nothing was done"};
}

Result<RecordLocation> findDirectoryRecord(const ImageSource& image, uint64_t extentOffset,
                                           ListingStart start, const std::string& rowName) {
    std::optional<RecordLocation> found;
    auto walked = walkDirectory(image, extentOffset, start, [&](const WalkedRecord& walked) {
        if (!walked.record.isListed() || walked.record.name() != rowName) {
            return WalkStep::Continue;
        }
        found = locationOf(walked);
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
