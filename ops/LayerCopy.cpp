#include "ops/LayerCopy.h"

#include <algorithm>
#include <filesystem>
#include <vector>

#include "journal/StateFolder.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

constexpr size_t kCopyBlockSize = size_t{1} << 20;

// Emptying the copy must never empty the image: the user may have chosen the copy itself.
bool isSameFile(const std::string& copyPath, const ImageSource& image) {
    const auto copy = identityAt(copyPath, false);
    const auto imageIdentity = image.identity();
    return copy && imageIdentity && *copy == *imageIdentity;
}

}  // namespace

DualLayerCheck copyLayerOneStart(const ImageSource& image, uint64_t start, uint64_t length,
                                 const std::string& copyPath) {
    using enum DualLayerCheck::Verdict;
    constexpr auto failed = &DualLayerCheck::failed;
    if (isSameFile(copyPath, image)) {
        return failed(CopyNotMade,
                      Error{ErrorKind::Io, copyPath + " is the image being opened; it was not "
                                                      "overwritten with the copy of its layer 1"});
    }
    if (auto folder = makePrivateFolders(std::filesystem::path(copyPath).parent_path().string());
        !folder) {
        return failed(CopyNotMade, folder.error());
    }
    auto copy = ImageWriter::createPrivate(copyPath, length);
    if (!copy) {
        return failed(CopyNotMade, copy.error());
    }
    std::vector<uint8_t> block(std::min<uint64_t>(length, kCopyBlockSize));
    for (uint64_t done = 0; done < length;) {
        const auto want = std::span(block).first(std::min<uint64_t>(block.size(), length - done));
        auto got = image.readAt(start + done, want);
        if (!got) {
            return failed(ImageUnreadable, got.error());
        }
        if (*got == 0) {
            return failed(ImageUnreadable,
                          Error{ErrorKind::Changed, image.path() + " ended at byte " +
                                                        std::to_string(start + done) +
                                                        " while its layer 1 was being copied"});
        }
        if (auto written = copy->writeAt(done, want.first(*got)); !written) {
            return failed(CopyNotMade, written.error());
        }
        done += *got;
    }
    if (auto finished = copy->finish(); !finished) {
        return failed(CopyNotMade, finished.error());
    }
    return DualLayerCheck{DualLayer, std::nullopt};
}

}  // namespace kestrel
