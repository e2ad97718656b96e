// The plain files of one directory as the file list shows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/DirectoryRecord.h"
#include "image/DirectoryWalk.h"

namespace kestrel {

struct ListRow {
    std::string name;
    std::string lba;   // signed, as the record's 32 bits read
    std::string size;  // unsigned
    std::string dateModified;
    // The Rock Ridge or Joliet name, when the image gives the file one.
    std::string longName;
    uint32_t extentLba = 0;
    uint32_t dataLength = 0;
};

struct DirectoryListing {
    std::vector<ListRow> rows;  // last record first
    // Extent of the first record read, listed or not.
    std::optional<uint32_t> firstRecordLba;
};

ListRow makeListRow(const DirectoryRecord& record);
// "Febuary 3, 2003"
std::string formatRecordDate(const RecordDate& date);

Result<DirectoryListing> listDirectory(const ImageSource& image, DirectoryPlace place,
                                       ListingStart start);

}  // namespace kestrel
