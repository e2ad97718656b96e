#include "image/JolietTree.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

#include "image/IsoLayout.h"
#include "image/LongNames.h"
#include "image/Volume.h"

namespace kestrel {

namespace {

uint64_t keyOf(const Extent& extent) {
    return uint64_t{extent.lba} << 32 | extent.length;
}

bool sameNameInAnyCase(const std::string& joliet, const std::string& primary) {
    return std::ranges::equal(joliet, primary, [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) ==
               std::toupper(static_cast<unsigned char>(b));
    });
}

}  // namespace

Extent extentOf(const RecordLocation& location) {
    return Extent{location.extentLba, location.dataLength};
}

Result<JolietTree> JolietTree::read(const ImageSource& image, const TreeDescriptor& descriptor) {
    auto directories = readDescriptorTree(image, descriptor);
    if (!directories) {
        return directories.error();
    }
    JolietTree tree;
    for (const auto& directory : *directories) {
        // Each extent once: a repeat's records are the directory's it repeats.
        if (directory.sameAs != 0) {
            continue;
        }
        Directory& files = tree.directories_.emplace_back();
        files.entry = directory;
        auto walked = walkDirectory(image, placeOf(directory), ListingStart::BehindDotRecords,
                                    [&files](const WalkedRecord& walked) {
                                        if (walked.record.isListed()) {
                                            files.files.push_back(locationOf(walked));
                                        }
                                        return WalkStep::Continue;
                                    });
        if (!walked) {
            return walked.error();
        }
        for (const auto& file : files.files) {
            tree.index(tree.directories_.size() - 1, extentOf(file), true);
        }
    }
    return tree;
}

void JolietTree::index(size_t directory, const Extent& extent, bool added) {
    auto& holders = byExtent_[keyOf(extent)];
    // The tree is read a directory at a time, so a directory already counted is the last.
    auto held = !holders.empty() && holders.back().first == directory
                    ? holders.end() - 1
                    : std::ranges::find(holders, directory, &std::pair<size_t, size_t>::first);
    if (held == holders.end()) {
        held = holders.insert(holders.end(), {directory, 0});
    }
    held->second = added ? held->second + 1 : held->second - 1;
    if (held->second == 0) {
        holders.erase(held);
    }
}

std::optional<size_t> JolietTree::matchingDirectory(const std::vector<Extent>& primaryFiles) const {
    std::unordered_set<uint64_t> primary;
    for (const auto& file : primaryFiles) {
        primary.insert(keyOf(file));
    }
    // How many of each directory's files point at one of the primary extents.
    std::unordered_map<size_t, size_t> sharedBy;
    for (const uint64_t key : primary) {
        if (const auto holders = byExtent_.find(key); holders != byExtent_.end()) {
            for (const auto& [directory, files] : holders->second) {
                sharedBy[directory] += files;
            }
        }
    }
    // The one directory that shares the most; none where two share as many.
    std::optional<size_t> best;
    size_t bestShared = 0;
    bool tie = false;
    for (const auto& [directory, shared] : sharedBy) {
        if (shared > bestShared) {
            best = directory;
            bestShared = shared;
            tie = false;
        } else if (shared == bestShared) {
            tie = true;
        }
    }
    return tie ? std::nullopt : best;
}

std::optional<RecordLocation> JolietTree::twin(size_t directory, const Extent& extent,
                                               const std::string& primaryName) const {
    std::vector<const RecordLocation*> candidates;
    for (const auto& file : directories_.at(directory).files) {
        if (extentOf(file) == extent) {
            candidates.push_back(&file);
        }
    }
    if (candidates.size() > 1) {
        std::erase_if(candidates, [&primaryName](const RecordLocation* file) {
            return !sameNameInAnyCase(jolietName(file->identifier), primaryName);
        });
    }
    if (candidates.size() != 1) {
        return std::nullopt;
    }
    return *candidates.front();
}

std::optional<size_t> JolietTree::subdirectory(size_t parent, const std::string& name) const {
    const DirectoryNumber parentNumber = directories_.at(parent).entry.number;
    std::optional<size_t> found;
    for (size_t i = 0; i < directories_.size(); ++i) {
        const PathTableDirectory& entry = directories_[i].entry;
        if (i != parent && entry.parent == parentNumber &&
            sameNameInAnyCase(jolietName(entry.identifier), name)) {
            if (found) {
                return std::nullopt;
            }
            found = i;
        }
    }
    return found;
}

std::vector<RecordLocation> JolietTree::files() const {
    std::vector<RecordLocation> all;
    for (const auto& directory : directories_) {
        all.insert(all.end(), directory.files.begin(), directory.files.end());
    }
    return all;
}

void JolietTree::update(const RecordLocation& twin, const Extent& extent) {
    for (size_t directory = 0; directory < directories_.size(); ++directory) {
        for (auto& file : directories_[directory].files) {
            if (file.recordOffset == twin.recordOffset) {
                index(directory, extentOf(file), false);
                file.extentLba = extent.lba;
                file.dataLength = extent.length;
                index(directory, extentOf(file), true);
            }
        }
    }
}

}  // namespace kestrel
