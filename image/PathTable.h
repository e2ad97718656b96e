// The walk over a little-endian path table, and the directory hierarchy it describes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/ImageSource.h"

namespace kestrel {

// Path-table number of a directory; the root is 1 and 0 means "no directory".
using DirectoryNumber = uint32_t;

struct PathTableDirectory {
    DirectoryNumber number = 0;  // its position in the path table; the root is 1
    // An earlier directory's number; 0 for the root. A parent number naming no earlier
    // directory is read as the root, so every directory hangs in the tree.
    uint16_t parent = 0;
    uint32_t extentLba = 0;
    std::string identifier;
};

// Whether the table at `tableOffset` starts with a root record (identifier 0, parent 1) whose
// extent is `rootLba`.
Result<bool> pathTableHoldsRoot(const ImageSource& image, uint64_t tableOffset, uint32_t rootLba);

// Reads the table from `tableOffset`. The walk ends at a zero identifier length, at the end of
// the image, at `tableSize` bytes when it is given, or at the 65,535th directory. In table
// order: every parent comes before its children, so a tree can be built in one pass.
Result<std::vector<PathTableDirectory>> readPathTable(const ImageSource& image,
                                                      uint64_t tableOffset,
                                                      std::optional<uint64_t> tableSize);

}  // namespace kestrel
