// Finding a listed file's directory record again by the name its row shows.
#pragma once

#include <cstdint>
#include <string>

#include "image/DirectoryWalk.h"

namespace kestrel {

struct RecordLocation {
    uint64_t recordOffset = 0;  // of the record's first byte in the presented file
    uint32_t extentLba = 0;
    uint32_t dataLength = 0;
    std::string identifier;
};

RecordLocation locationOf(const WalkedRecord& walked);
RecordLocation locationOf(const RecordView& view);

// A listed name that its directory no longer holds.
Error recordNotFound(const std::string& rowName, const std::string& imagePath);

// The record found at `found` as it now is: its extent and data length read again where it
// lies, its identifier as it was found.
Result<RecordLocation> readAgain(const ImageSource& image, const RecordLocation& found);

// The first listed record of the directory whose name is exactly `rowName`
// (case-sensitive). ErrorKind::NotFound when the directory holds none.
Result<RecordLocation> findDirectoryRecord(const ImageSource& image, DirectoryPlace place,
                                           ListingStart start, const std::string& rowName);

}  // namespace kestrel
