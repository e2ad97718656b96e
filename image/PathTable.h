// The walk over a little-endian path table, and the directory hierarchy it describes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "image/DirectoryWalk.h"
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
    // The first directory of the tree whose extent is this one's too; 0 when this is the first.
    // Such a repeat lists nothing and holds no subdirectories: a parent number naming one is
    // read as the directory it repeats, so every extent is listed, mapped and extracted once.
    DirectoryNumber sameAs = 0;
    // The lowest extent above this one's that another directory of the tree starts at; 0 when
    // none does. The walk of this directory's records stops there, so that no sector's records
    // are listed for two directories, however a crafted image makes their extents overlap.
    uint32_t nextExtentLba = 0;
};

// Where the directory's records lie, up to the next directory's extent.
DirectoryPlace placeOf(const PathTableDirectory& directory);

// A tree built in table order, parents before children, each directory hung where it can be
// reached once: a parent number that names no earlier directory reads as the root, one that
// names a repeat as the directory it repeats, and one that would put the directory deeper
// than kMaxDirectoryDepth levels as the root too.
class DirectoryTree {
public:
    explicit DirectoryTree(uint32_t rootLba);

    // Appends a directory and returns it, numbered by its place and marked when it repeats.
    const PathTableDirectory& add(uint16_t parent, uint32_t extentLba, std::string identifier);
    size_t size() const { return directories_.size(); }
    // Directory `number`, which must have been added.
    const PathTableDirectory& at(DirectoryNumber number) const { return directories_[number - 1]; }
    // Levels below the root of directory `number`, which must have been added.
    size_t depth(DirectoryNumber number) const { return depths_[number - 1]; }
    // The tree, each directory given its next extent.
    std::vector<PathTableDirectory> take();

private:
    std::vector<PathTableDirectory> directories_;
    std::vector<uint8_t> depths_;
    std::unordered_map<uint32_t, DirectoryNumber> firstAt_;  // by extent
};

// Whether the table at `tableOffset` starts with a root record (identifier 0, parent 1) whose
// extent is `rootLba`.
Result<bool> pathTableHoldsRoot(const ImageSource& image, uint64_t tableOffset, uint32_t rootLba);

// Reads the table from `tableOffset`. The walk ends at a zero identifier length, at the end of
// the image, at `tableSize` bytes when it is given, or at the 65,535th directory. In table
// order: every parent comes before its children, so a tree can be built in one pass. A
// directory that would lie deeper than kMaxDirectoryDepth levels is put under the root, so
// that no path is longer than that many identifiers; repeats are marked (see sameAs).
Result<std::vector<PathTableDirectory>> readPathTable(const ImageSource& image,
                                                      uint64_t tableOffset,
                                                      std::optional<uint64_t> tableSize);

// Each directory's subdirectories in table order, by number (index 0 holds none): one pass,
// so that finding a directory's children never scans the whole tree.
std::vector<std::vector<DirectoryNumber>> subdirectoryIndex(
    const std::vector<PathTableDirectory>& directories);

}  // namespace kestrel
