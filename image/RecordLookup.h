// Finding a listed file's directory record again by the name its row shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/DirectoryWalk.h"
#include "image/ListedFiles.h"

namespace kestrel {

struct RecordLocation {
    uint64_t recordOffset = 0;  // of the record's first byte in the presented file
    uint32_t extentLba = 0;
    uint32_t dataLength = 0;
    std::string identifier;
    // For a file of several extents (its records carry the multi-extent flag): every extent
    // read, in order, the first being this record's. Empty for a file of one record.
    std::vector<Extent> extents;
    // Why its chain of records ends before its last extent; empty when whole.
    std::string brokenChain;
    // Where the file's bytes lie inside its UDF file entry, for data embedded there: the
    // entry, not an extent, holds them.
    std::optional<uint64_t> embeddedOffset;

    // Whether the file is stored in a chain of records, which one record's LBA and size
    // cannot describe.
    bool isChained() const { return !extents.empty(); }
};

RecordLocation locationOf(const WalkedRecord& walked);
RecordLocation locationOf(const RecordView& view);
RecordLocation locationOf(const ListedRecords& file);

// Every extent of the found file's data, in order: the record's own for a file of one record.
std::vector<Extent> fileExtents(const RecordLocation& location);
// The bytes those extents hold together.
uint64_t fileSize(const RecordLocation& location);

// A listed name that its directory no longer holds.
Error recordNotFound(const std::string& rowName, const std::string& imagePath);

// The record found at `found` as it now is: its extent and data length read again where it
// lies, its identifier as it was found.
Result<RecordLocation> readAgain(const ImageSource& image, const RecordLocation& found);

// The first listed file of the directory whose name is exactly `rowName` (case-sensitive),
// its records chained as ListedFileChains chains them. ErrorKind::NotFound when the directory
// holds none.
Result<RecordLocation> findDirectoryRecord(const ImageSource& image, DirectoryPlace place,
                                           ListingStart start, const std::string& rowName,
                                           uint64_t dataEnd = kNoDataEnd);

}  // namespace kestrel
