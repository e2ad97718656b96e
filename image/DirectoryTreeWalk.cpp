#include "image/DirectoryTreeWalk.h"

#include <unordered_set>

#include "image/DirectoryWalk.h"
#include "image/IsoLayout.h"

namespace kestrel {

Result<std::vector<PathTableDirectory>> walkDirectoryTree(const ImageSource& image,
                                                          uint32_t rootLba) {
    DirectoryTree directories(rootLba);
    // Sectors whose records a walk has visited: a later walk stops at one, so that extents a
    // crafted image makes overlap cost one walk of each sector, not one per directory.
    std::unordered_set<uint64_t> walkedSectors;
    for (DirectoryNumber next = 1; next <= directories.size(); ++next) {
        // A repeat is not walked again: the directory it repeats is, once.
        if (directories.at(next).sameAs != 0 || directories.depth(next) == kMaxDirectoryDepth) {
            continue;
        }
        // Not yet bounded by the next directory's extent, which may still be found: sectors
        // walked before stop the walk instead.
        const DirectoryPlace place(uint64_t{directories.at(next).extentLba} << kSectorShift);
        const auto parent = static_cast<uint16_t>(next);
        uint64_t sectorInHand = UINT64_MAX;
        auto walked = walkDirectory(
            image, place, ListingStart::BehindDotRecords, [&](const WalkedRecord& walked) {
                const uint64_t sector = walked.offset >> kSectorShift;
                if (sector != sectorInHand) {
                    if (!walkedSectors.insert(sector).second) {
                        return WalkStep::Stop;
                    }
                    sectorInHand = sector;
                }
                if (directories.size() == kMaxDirectories) {
                    return WalkStep::Stop;
                }
                const auto& record = walked.record;
                if (record.isDirectory()) {
                    directories.add(parent, record.extentLba, record.identifier);
                }
                return WalkStep::Continue;
            });
        if (!walked) {
            return walked.error();
        }
    }
    return directories.take();
}

}  // namespace kestrel
