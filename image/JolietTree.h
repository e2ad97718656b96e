// The Joliet tree: the same files as the primary tree under UCS-2 names, in directories of
// its own. A primary directory's counterpart is found by the data its files point at, since
// names differ between the trees and both trees point at the same extents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "image/PathTable.h"
#include "image/RecordLookup.h"
#include "image/VolumeDescriptors.h"

namespace kestrel {

Extent extentOf(const RecordLocation& location);

class JolietTree {
public:
    // Reads every plain file record of every directory of the tree.
    static Result<JolietTree> read(const ImageSource& image, const TreeDescriptor& descriptor);

    // The Joliet directory that shares the most extents with `primaryFiles` (the extents of a
    // primary directory's plain files); none when no directory shares any, or two share as
    // many.
    std::optional<size_t> matchingDirectory(const std::vector<Extent>& primaryFiles) const;
    // The twin of a primary record in that directory: the one record with `extent`; where
    // several have it, the one whose name is `primaryName` in any case.
    std::optional<RecordLocation> twin(size_t directory, const Extent& extent,
                                       const std::string& primaryName) const;
    // The directory's place in the image and its entry in the tree's table; `directory` is an
    // index as matchingDirectory gives it.
    const PathTableDirectory& entry(size_t directory) const {
        return directories_.at(directory).entry;
    }
    // The directory under `parent` whose name is `name` in any case; none when no one is, or
    // two are.
    std::optional<size_t> subdirectory(size_t parent, const std::string& name) const;
    // The root, which every tree has.
    static constexpr size_t kRoot = 0;
    // Every plain file record of the tree.
    std::vector<RecordLocation> files() const;
    // Records that a twin now points elsewhere, as patching it made it.
    void update(const RecordLocation& twin, const Extent& extent);

private:
    struct Directory {
        PathTableDirectory entry;
        std::vector<RecordLocation> files;
    };
    // Counts a file of `directory` at `extent` in byExtent_, or with `added` false no longer.
    void index(size_t directory, const Extent& extent, bool added);

    std::vector<Directory> directories_;
    // By extent: each directory holding files with it, and how many. A listing finds its
    // matching directory through the extents of its own files, never scanning the whole tree.
    std::unordered_map<uint64_t, std::vector<std::pair<size_t, size_t>>> byExtent_;
};

}  // namespace kestrel
