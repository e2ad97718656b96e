#include "ops/LayerCopy.h"

#include <algorithm>
#include <vector>

namespace kestrel {

namespace {

constexpr size_t kCopyBlockSize = size_t{1} << 20;

// Emptying the copy must never empty the image: the user may have chosen the copy itself.
bool isSameFile(const ImageFile& copy, const ImageSource& image) {
    const auto copyIdentity = copy.identity();
    const auto imageIdentity = image.identity();
    return copyIdentity && imageIdentity && *copyIdentity == *imageIdentity;
}

}  // namespace

DualLayerCheck copyLayerOneStart(const ImageSource& image, uint64_t start, uint64_t length,
                                 ImageFile& copy) {
    using enum DualLayerCheck::Verdict;
    constexpr auto failed = &DualLayerCheck::failed;
    if (isSameFile(copy, image)) {
        return failed(CopyNotMade, Error{ErrorKind::Io,
                                         copy.path() + " is the image being opened; it was not "
                                                       "overwritten with the copy of its layer 1"});
    }
    // Emptied first, so that no byte of an earlier copy is left inside the new one.
    auto made = copy.makePrivate();
    if (made) {
        made = copy.resize(0);
    }
    if (made) {
        made = copy.resize(length);
    }
    if (!made) {
        return failed(CopyNotMade, made.error());
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
        if (auto written = copy.writeInside(done, want.first(*got)); !written) {
            return failed(CopyNotMade, written.error());
        }
        done += *got;
    }
    if (auto synced = copy.sync(); !synced) {
        return failed(CopyNotMade, synced.error());
    }
    return DualLayerCheck{DualLayer, std::nullopt};
}

}  // namespace kestrel
