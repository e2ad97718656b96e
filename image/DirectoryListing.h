// The plain files of one directory as the file list shows them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "image/DirectoryRecord.h"
#include "image/EditorState.h"
#include "image/Result.h"

namespace kestrel {

struct ListRow {
    std::string name;
    std::string lba;   // signed, as the record's 32 bits read
    std::string size;  // unsigned
    std::string dateModified;
};

struct DirectoryListing {
    std::vector<ListRow> rows;  // last record first
    // Extent of the first record read, listed or not.
    std::optional<uint32_t> firstRecordLba;
};

ListRow makeListRow(const DirectoryRecord& record);
// "Febuary 3, 2003"
std::string formatRecordDate(const RecordDate& date);

Result<DirectoryListing> listDirectory(const std::string& imagePath, uint64_t extentOffset);
// Lists directory `number` of the presented volume and, when a record was read, sets the
// state's layerCopyLength from it. Directory 0 lists as empty.
Result<DirectoryListing> listDirectory(EditorState& state, DirectoryNumber number);

}  // namespace kestrel
