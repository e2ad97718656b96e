// A plan: edits of any kind, written as JSON, to be applied to one image all or none.
//
//   {"plan": 1, "layer": 0, "edits": [
//     {"op": "relink", "master": "/DATA/A.BIN", "files": ["/DATA/B.BIN"], "withSize": true},
//     {"op": "set-record", "file": "/DATA/C.BIN", "lba": 30, "size": 4096},
//     {"op": "dummy", "files": ["/DATA/D.BIN"]},
//     {"op": "overwrite", "file": "/DATA/E.BIN", "replacement": "new/E.BIN"},
//     {"op": "replace", "file": "/DATA/F.BIN", "replacement": "new/F.BIN", "intoGap": false},
//     {"op": "add", "directory": "/DATA", "file": "new/G.BIN", "name": "G.BIN", "intoGap": false}]}
//
// Paths inside the image are written as a listing names them; "layer" (0 by default) picks the
// volume of a dual-layer image; a replacement, and a file added, is a path on this system. Values
// take the Modify TOC rules: decimal, as numbers or text, in their field's range, no LBA of -1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "io/Result.h"

namespace kestrel {

inline constexpr int kEditPlanVersion = 1;

struct PlannedRelink {
    std::string master;
    std::vector<std::string> files;
    bool withSize = false;
};

struct PlannedRecordEdit {
    std::string file;
    std::optional<uint32_t> lba;  // as the record holds it
    std::optional<uint32_t> size;
};

// A data edit whose file covers one of the volume's own structures is refused unless forced.
struct PlannedDummy {
    std::vector<std::string> files;
    bool force = false;
};

struct PlannedOverwrite {
    std::string file;
    std::string replacement;
    bool force = false;
};

// The file takes the replacement's exact bytes and size, placed as Replace places it.
struct PlannedReplace {
    std::string file;
    std::string replacement;
    bool intoGap = false;
};

// A new file in a directory, placed as Add places it; its ISO 9660 name is `name` when given.
struct PlannedAdd {
    std::string directory;
    std::string file;
    std::optional<std::string> name;
    bool intoGap = false;
};

using PlannedEdit = std::variant<PlannedRelink, PlannedRecordEdit, PlannedDummy, PlannedOverwrite,
                                 PlannedReplace, PlannedAdd>;

struct EditPlan {
    unsigned layer = 0;
    std::vector<PlannedEdit> edits;
};

// Reads a plan from its text; anything that is not a plan as above, down to a key not known
// or given twice, a byte after its end or a number out of range, is refused with
// ErrorKind::InvalidInput and a message naming the edit or the place, and the reason.
Result<EditPlan> parseEditPlan(std::string_view text);

}  // namespace kestrel
