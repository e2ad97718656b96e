// The directory hierarchy of an image whose path table cannot be read, found by walking the
// directories themselves from the root.
#pragma once

#include <vector>

#include "image/PathTable.h"

namespace kestrel {

// Breadth first, so that parents come before children and numbers follow the levels as a path
// table's do. Bounded by depth, by the 65,535 directories a tree can number, and by extents
// already visited: a record naming an extent already reached is a repeat (see
// PathTableDirectory::sameAs) and is not walked, so a directory that names an ancestor as its
// child cannot loop.
Result<std::vector<PathTableDirectory>> walkDirectoryTree(const ImageSource& image,
                                                          uint32_t rootLba);

}  // namespace kestrel
