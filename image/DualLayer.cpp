#include "image/DualLayer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include "image/ImageFile.h"
#include "image/IsoLayout.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

constexpr size_t kCopyBlockSize = size_t{1} << 20;

DualLayerCheck failed(DualLayerCheck::Verdict verdict, Error error) {
    return DualLayerCheck{verdict, std::move(error)};
}

// Missing folders on the way are made readable by their owner only, as a cache should be.
Result<void> makePrivateFolders(const std::filesystem::path& folder) {
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), S_IRWXU) != 0 && errno != EEXIST) {
            return systemError("Cannot create the folder", partial.string(), errno);
        }
    }
    return {};
}

// Emptying the copy must never empty the image: the user may have chosen the copy itself.
bool isSameFile(const std::string& copyPath, const std::string& imagePath) {
    struct stat copy {};
    struct stat image {};
    return ::lstat(copyPath.c_str(), &copy) == 0 && ::stat(imagePath.c_str(), &image) == 0 &&
           copy.st_dev == image.st_dev && copy.st_ino == image.st_ino;
}

// Copies `length` bytes from `start` of the image, which holds at least that many.
DualLayerCheck copyLayerOneStart(const ImageFile& image, uint64_t start, uint64_t length,
                                 const std::string& copyPath) {
    using enum DualLayerCheck::Verdict;
    if (auto folder = makePrivateFolders(std::filesystem::path(copyPath).parent_path()); !folder) {
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

}  // namespace

DualLayerCheck checkDualLayer(EditorState& state) {
    using enum DualLayerCheck::Verdict;
    if (state.layerCopyMade) {
        return DualLayerCheck{CopyAlreadyMade, std::nullopt};
    }
    auto image = ImageFile::openForReading(state.selectedIsoPath);
    if (!image) {
        return failed(ImageUnreadable, image.error());
    }
    const auto size = image->size();
    if (!size) {
        return failed(ImageUnreadable, size.error());
    }
    if (static_cast<int64_t>(*size) <= state.layer0Bytes) {
        return DualLayerCheck{SingleLayer, std::nullopt};
    }
    if (state.layer0Bytes < static_cast<int64_t>(kLayerOneLead)) {
        return failed(ImageUnreadable,
                      Error{ErrorKind::CorruptImage,
                            state.selectedIsoPath + " records a first volume of " +
                                std::to_string(state.layer0Bytes) +
                                " bytes, too short for a second volume to start inside it"});
    }
    if (isSameFile(state.layerCopyPath, state.selectedIsoPath)) {
        return failed(
            CopyNotMade,
            Error{ErrorKind::Io, state.layerCopyPath + " is the image being opened; it was not "
                                                       "overwritten with the copy of its layer 1"});
    }
    // The copy holds no more than the image has from layer 1's start: records claiming more
    // would only fill the cache with zeros.
    const uint64_t start = static_cast<uint64_t>(state.layer0Bytes) - kLayerOneLead;
    const uint64_t length = std::min(state.layerCopyLength, *size - start);
    auto check = copyLayerOneStart(*image, start, length, state.layerCopyPath);
    state.layerCopyMade = check.verdict == DualLayer;
    return check;
}

void switchLayers(EditorState& state) {
    state.imagePath = state.presentsLayerOne() ? state.selectedIsoPath : state.layerCopyPath;
}

}  // namespace kestrel
