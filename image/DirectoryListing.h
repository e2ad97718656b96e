// The plain files of one directory as the file list shows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/DirectoryRecord.h"
#include "image/DirectoryWalk.h"
#include "image/ListedFiles.h"

namespace kestrel {

struct ListRow {
    std::string name;
    std::string lba;   // signed, as the record's 32 bits read
    std::string size;  // unsigned
    std::string dateModified;
    // The Rock Ridge or Joliet name, when the image gives the file one.
    std::string longName;
    // Its first record's extent and data length.
    uint32_t extentLba = 0;
    uint32_t dataLength = 0;
    // The file's bytes: for a file of several extents, theirs together.
    uint64_t totalLength = 0;
    // For a file of several extents (its records carry the multi-extent flag): every extent
    // read, in order. Empty for a file of one record.
    std::vector<Extent> extents;
    // Why its chain of records ends before its last extent; empty when whole.
    std::string brokenChain;

    // The sectors its extents take, each extent starting a sector of its own.
    uint64_t sectors() const;
    // The extent a record of the file without the multi-extent flag points at: the last of a
    // whole chain, which is what the Joliet tree lists such a file by.
    Extent lastRecordExtent() const;
};

struct DirectoryListing {
    std::vector<ListRow> rows;  // last record first
    // Extent of the first record read, listed or not.
    std::optional<uint32_t> firstRecordLba;
};

ListRow makeListRow(const DirectoryRecord& record);
// The row of a listed file, from its first record: its size is its extents' together.
ListRow makeListRow(const DirectoryRecord& first, const ListedRecords& file);
// "Febuary 3, 2003"
std::string formatRecordDate(const RecordDate& date);
std::string formatListDate(int year, unsigned month, unsigned day);

// Chains records as ListedFileChains does, an extent past `dataEnd` breaking a chain.
Result<DirectoryListing> listDirectory(const ImageSource& image, DirectoryPlace place,
                                       ListingStart start, uint64_t dataEnd = kNoDataEnd);

}  // namespace kestrel
