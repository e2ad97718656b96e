// What an edit was, in the words the user is asked and told about it: "Dummy of 3 files,
// 12.4 MB".
#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

// A plan is several edits of any kind applied as one, all or none; its file count is the
// number of edits in it.
enum class EditKind : uint8_t {
    Relink = 1,
    ModifyToc = 2,
    Dummy = 3,
    Overwrite = 4,
    Undo = 5,
    Plan = 6,
    Replace = 7,
    Add = 8,
};

struct EditSummary {
    EditKind kind = EditKind::Relink;
    uint32_t fileCount = 0;
    uint64_t dataBytes = 0;  // the file data the edit rewrites; none for record edits
    // The one file's name, or for an undo the description of the edit it reverts.
    std::string name;
    int64_t madeAt = 0;   // seconds since 1970
    uint64_t undoes = 0;  // the entry an undo reverts
};

// "Dummy of 3 files, 12.4 MB", "Modify TOC of A.BIN", "Undo of Relink of 2 files",
// "Plan of 5 edits".
std::string describeEdit(const EditSummary& summary);

// "14:02" for a time today, "2026-12-06 14:02" before, in local time.
std::string madeAtText(int64_t madeAt);

// "512 bytes", "12.4 MB", "4.3 GB": decimal units, as file managers show sizes.
std::string formatBytes(uint64_t bytes);

}  // namespace kestrel
