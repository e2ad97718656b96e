// Extract and Dummy on the root directory of images of any bytes: whatever the records
// claim, extraction writes only into its folder, each output holding exactly its file's
// bytes, and blanking changes no byte outside the data of the files it was given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/FuzzImage.h"
#include "image/DirectoryListing.h"
#include "image/Volume.h"
#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/OperationSnapshot.h"

namespace {

using namespace kestrel;

class QuietObserver : public OperationObserver {
public:
    void beginFile(const std::string&) override {}
    void showPercent(int) override {}
    bool stopRequested() override { return false; }
};

bool failed(const OperationReport& report, const std::string& rowName) {
    return std::any_of(report.failures.begin(), report.failures.end(),
                       [&](const FileFailure& failure) { return failure.rowName == rowName; });
}

void checkExtraction(const OperationSnapshot& snapshot, const OperationReport& report,
                     const std::vector<uint8_t>& image, const std::string& folder) {
    for (const auto& file : snapshot.files) {
        if (failed(report, file.rowName)) {
            continue;
        }
        const auto offset = snapshot.dataOffset(file, image.size());
        if (!offset) {
            fuzz::fail(file.rowName + " was extracted although " + offset.error().message);
        }
        const auto begin = image.begin() + static_cast<ptrdiff_t>(*offset);
        const std::vector<uint8_t> expected(begin, begin + file.record->dataLength);
        if (fuzz::readWholeFile(folder + "/" + file.rowName) != expected) {
            fuzz::fail(file.rowName + " was extracted with other bytes than its data");
        }
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.is_regular_file()) {
            fuzz::fail("extraction made something other than a file: " + entry.path().string());
        }
    }
}

void checkBlanking(const OperationSnapshot& snapshot, const std::vector<uint8_t>& before,
                   const std::vector<uint8_t>& after) {
    if (after.size() != before.size()) {
        fuzz::fail("blanking changed the image's size");
    }
    // The files' data ranges, in order; only bytes inside them may change, and only to zero.
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const auto& file : snapshot.files) {
        if (const auto offset = snapshot.dataOffset(file, before.size()); offset) {
            ranges.emplace_back(*offset, *offset + file.record->dataLength);
        }
    }
    std::sort(ranges.begin(), ranges.end());
    uint64_t unchangedFrom = 0;
    const auto expectUnchanged = [&](uint64_t from, uint64_t to) {
        if (from < to && !std::equal(before.begin() + static_cast<ptrdiff_t>(from),
                                     before.begin() + static_cast<ptrdiff_t>(to),
                                     after.begin() + static_cast<ptrdiff_t>(from))) {
            fuzz::fail("blanking changed bytes between " + std::to_string(from) + " and " +
                       std::to_string(to) + ", outside every file");
        }
    };
    for (const auto& [begin, end] : ranges) {
        expectUnchanged(unchangedFrom, begin);
        unchangedFrom = std::max(unchangedFrom, end);
        for (uint64_t i = begin; i < end; ++i) {
            if (after[i] != 0 && after[i] != before[i]) {
                fuzz::fail("blanking wrote a non-zero byte at " + std::to_string(i));
            }
        }
    }
    expectUnchanged(unchangedFrom, before.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::Scratch scratch;
    const auto image = scratch.path("image.iso");
    fuzz::writeImage({data, size}, image);

    EditorState state;
    state.layerCopyPath = scratch.path("layer1.tmp");
    state.chooseImage(image);
    if (!openVolume(state)) {
        return 0;
    }
    const auto listing = listDirectory(state, 1);
    if (!listing) {
        return 0;
    }
    std::vector<std::string> names;
    for (const auto& row : listing->rows) {
        names.push_back(row.name);
    }
    const auto snapshot = takeSnapshot(state, 1, names);
    const auto before = fuzz::readWholeFile(image);
    QuietObserver observer;

    const auto folder = scratch.emptyFolder("extracted");
    const auto extracted = extractFiles(snapshot, folder, observer);
    if (fuzz::readWholeFile(image) != before) {
        fuzz::fail("extraction changed the image");
    }
    checkExtraction(snapshot, extracted, before, folder);

    blankFiles(snapshot, observer);
    checkBlanking(snapshot, before, fuzz::readWholeFile(image));
    return 0;
}
