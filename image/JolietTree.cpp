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
        Directory& files = tree.directories_.emplace_back();
        auto walked =
            walkDirectory(image, uint64_t{directory.extentLba} << kSectorShift,
                          ListingStart::BehindDotRecords, [&files](const WalkedRecord& walked) {
                              if (walked.record.isListed()) {
                                  files.files.push_back(locationOf(walked));
                              }
                              return WalkStep::Continue;
                          });
        if (!walked) {
            return walked.error();
        }
    }
    return tree;
}

std::optional<size_t> JolietTree::matchingDirectory(const std::vector<Extent>& primaryFiles) const {
    std::unordered_set<uint64_t> primary;
    for (const auto& file : primaryFiles) {
        primary.insert(keyOf(file));
    }
    std::optional<size_t> best;
    size_t bestShared = 0;
    bool tie = false;
    for (size_t index = 0; index < directories_.size(); ++index) {
        const auto shared = static_cast<size_t>(std::ranges::count_if(
            directories_[index].files,
            [&](const auto& file) { return primary.contains(keyOf(extentOf(file))); }));
        if (shared > bestShared) {
            best = index;
            bestShared = shared;
            tie = false;
        } else if (shared == bestShared && shared > 0) {
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

std::vector<RecordLocation> JolietTree::files() const {
    std::vector<RecordLocation> all;
    for (const auto& directory : directories_) {
        all.insert(all.end(), directory.files.begin(), directory.files.end());
    }
    return all;
}

void JolietTree::update(const RecordLocation& twin, const Extent& extent) {
    for (auto& directory : directories_) {
        for (auto& file : directory.files) {
            if (file.recordOffset == twin.recordOffset) {
                file.extentLba = extent.lba;
                file.dataLength = extent.length;
            }
        }
    }
}

}  // namespace kestrel
