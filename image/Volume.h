// Opening a volume: its label, CD/DVD classification, size and directory hierarchy, read at
// the fixed positions where the images this editor knows keep them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/EditorState.h"
#include "image/Result.h"

namespace kestrel {

struct PathTableDirectory {
    DirectoryNumber number = 0;  // its position in the path table; the root is 1
    // An earlier directory's number; 0 for the root. A parent number naming no earlier
    // directory is read as the root, so every directory hangs in the tree.
    uint16_t parent = 0;
    uint32_t extentLba = 0;
    std::string identifier;
};

struct Volume {
    std::string label;  // "NO LABEL" when the volume identifier is empty
    bool isDvd = false;
    uint32_t volumeSectors = 0;
    // In path-table order: directories[0] is the root, number 1; every parent comes before
    // its children, so a tree can be built in one pass.
    std::vector<PathTableDirectory> directories;
};

Result<Volume> readVolume(const std::string& imagePath);

// Reads the presented volume and records it in the state: the classification, the directory
// tables and, while layer 0 is presented, layer0Bytes. A volume that cannot be read leaves
// the state untouched.
Result<Volume> openVolume(EditorState& state);

}  // namespace kestrel
