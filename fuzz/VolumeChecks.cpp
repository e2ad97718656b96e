#include "fuzz/VolumeChecks.h"

#include <algorithm>

#include "fuzz/FuzzImage.h"
#include "image/DirectoryListing.h"
#include "image/Volume.h"
#include "ops/RecordPatch.h"

namespace kestrel::fuzz {

bool browseVolume(EditorState& state) {
    const auto volume = openVolume(state);
    if (!volume) {
        if (volume.error().message.empty()) {
            fail("a volume was refused without a reason");
        }
        return false;
    }
    if (volume->directories.empty() || volume->directories.size() + 1 != state.dirExtent.size()) {
        fail("the directory tables do not match the path table");
    }
    const size_t listed = std::min(volume->directories.size(), kMaxDirectoriesListed);
    for (DirectoryNumber number = 1; number <= listed; ++number) {
        const auto listing = listDirectory(state, number);
        if (!listing) {
            continue;
        }
        for (const auto& row : listing->rows) {
            const auto found = findDirectoryRecord(state, number, row.name);
            if (!found) {
                fail("listed row \"" + row.name +
                     "\" was not found again: " + found.error().message);
            }
            if (found->identifier.substr(0, row.name.size()) != row.name) {
                fail("row \"" + row.name + "\" was found as \"" + found->identifier + "\"");
            }
        }
    }
    return true;
}

}  // namespace kestrel::fuzz
