#include "image/DirectoryTreeWalk.h"

#include <unordered_set>

#include "image/DirectoryWalk.h"
#include "image/IsoLayout.h"

namespace kestrel {

namespace {

// Far deeper than the eight levels ISO 9660 allows, as Rock Ridge trees go deeper.
constexpr size_t kMaxDepth = 64;

}  // namespace

Result<std::vector<PathTableDirectory>> walkDirectoryTree(const ImageSource& image,
                                                          uint32_t rootLba) {
    std::vector<PathTableDirectory> directories{{1, 0, rootLba, {}}};
    std::vector<size_t> depths{0};
    std::unordered_set<uint32_t> visited{rootLba};
    for (size_t next = 0; next < directories.size(); ++next) {
        if (depths[next] == kMaxDepth) {
            continue;
        }
        const uint64_t extentOffset = uint64_t{directories[next].extentLba} << kSectorShift;
        const auto parent = static_cast<uint16_t>(directories[next].number);
        auto walked = walkDirectory(
            image, extentOffset, ListingStart::BehindDotRecords, [&](const WalkedRecord& walked) {
                if (directories.size() == kMaxDirectories) {
                    return WalkStep::Stop;
                }
                const auto& record = walked.record;
                if (record.isDirectory() && visited.insert(record.extentLba).second) {
                    directories.push_back({static_cast<DirectoryNumber>(directories.size() + 1),
                                           parent, record.extentLba, record.identifier});
                    depths.push_back(depths[next] + 1);
                }
                return WalkStep::Continue;
            });
        if (!walked) {
            return walked.error();
        }
    }
    return directories;
}

}  // namespace kestrel
