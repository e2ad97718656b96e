// Paths inside a volume as a listing names them: "/DATA/FILE.BIN", its directories by their
// identifiers and the file by its list name; "FILE.BIN;1" names the same file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image/PathTable.h"
#include "image/Volume.h"

namespace kestrel {

// A directory of the volume, and a name in it when the path goes on past the directory.
struct VolumePath {
    DirectoryNumber directory = 0;
    std::optional<std::string> rowName;
};

// Resolves `path` (leading "/" optional, "/" alone the root) against the volume's directories.
// A path that goes on past a repeat goes on in the directory it repeats; one that ends at a
// repeat resolves to the repeat. A path whose last part names no directory is read as a file
// in the directory before it;
// whether that file exists is for the listing to say. A path that runs through a directory the
// volume does not have is refused with ErrorKind::NotFound.
Result<VolumePath> resolveVolumePath(const Volume& volume, std::string_view path);

// "/" for the root, "/DATA/SUB" for a directory below it, in a volume's directories or in
// another tree's.
std::string directoryPath(const std::vector<PathTableDirectory>& directories,
                          DirectoryNumber directory);
inline std::string directoryPath(const Volume& volume, DirectoryNumber directory) {
    return directoryPath(volume.directories, directory);
}
// The same in the Joliet tree, each identifier read as UTF-8.
std::string jolietDirectoryPath(const std::vector<PathTableDirectory>& directories,
                                DirectoryNumber directory);
// Every directory's path by number (index 0 empty), each made from its parent's in one pass:
// as directoryPath, or with `joliet` as jolietDirectoryPath.
std::vector<std::string> directoryPaths(const std::vector<PathTableDirectory>& directories,
                                        bool joliet);

}  // namespace kestrel
