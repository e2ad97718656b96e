#include "fuzz/ImageChecks.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

#include "fuzz/FuzzImage.h"
#include "image/DirectoryRecord.h"
#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/MasterFile.h"
#include "ops/OperationSnapshot.h"
#include "ops/Overwrite.h"

namespace kestrel::checks {

namespace {

using ByteRange = std::pair<uint64_t, uint64_t>;  // [first, end)

class QuietObserver : public OperationObserver {
public:
    void beginFile(const std::string&) override {}
    void showPercent(int) override {}
    bool stopRequested() override { return false; }
};

[[noreturn]] void broken(const std::string& what) {
    throw BrokenPromise(what);
}

bool failed(const OperationReport& report, const std::string& rowName) {
    return std::any_of(report.failures.begin(), report.failures.end(),
                       [&](const FileFailure& failure) { return failure.rowName == rowName; });
}

std::vector<ByteRange> dataRanges(const OperationSnapshot& snapshot, uint64_t imageSize) {
    std::vector<ByteRange> ranges;
    for (const auto& file : snapshot.files) {
        // A file of no bytes may say it starts past the end; it owns nothing.
        if (const auto offset = snapshot.dataOffset(file, imageSize);
            offset && file.record->dataLength != 0) {
            ranges.emplace_back(*offset, *offset + file.record->dataLength);
        }
    }
    return ranges;
}

// Every byte outside `ranges` is as it was, and the image kept its size.
void expectChangedOnlyWithin(const std::string& operation, const std::vector<uint8_t>& before,
                             const std::vector<uint8_t>& after, std::vector<ByteRange> ranges) {
    if (after.size() != before.size()) {
        broken(operation + " changed the image's size from " + std::to_string(before.size()) +
               " to " + std::to_string(after.size()) + " bytes");
    }
    std::sort(ranges.begin(), ranges.end());
    ranges.emplace_back(before.size(), before.size());
    uint64_t unchangedFrom = 0;
    for (const auto& [first, end] : ranges) {
        if (unchangedFrom < first &&
            !std::equal(before.begin() + static_cast<ptrdiff_t>(unchangedFrom),
                        before.begin() + static_cast<ptrdiff_t>(first),
                        after.begin() + static_cast<ptrdiff_t>(unchangedFrom))) {
            broken(operation + " changed bytes between " + std::to_string(unchangedFrom) + " and " +
                   std::to_string(first) + ", which it does not own");
        }
        unchangedFrom = std::max(unchangedFrom, end);
    }
}

std::vector<std::filesystem::path> entriesOf(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> entries;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        entries.push_back(entry.path());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

void checkExtraction(const OperationSnapshot& snapshot, const std::string& folder) {
    const auto& image = snapshot.imagePath;
    const auto before = fuzz::readWholeFile(image);
    const auto around = std::filesystem::path(folder).parent_path();
    const auto entriesAround = entriesOf(around);
    QuietObserver observer;
    const auto report = extractFiles(snapshot, folder, observer);
    expectChangedOnlyWithin("Extract", before, fuzz::readWholeFile(image), {});
    if (entriesOf(around) != entriesAround) {
        broken("Extract wrote outside its folder, into " + around.string());
    }
    for (const auto& file : snapshot.files) {
        if (failed(report, file.rowName)) {
            continue;
        }
        const auto offset = snapshot.dataOffset(file, before.size());
        if (!offset) {
            broken(file.rowName + " was extracted although " + offset.error().message);
        }
        const auto length = file.record->dataLength;
        const auto data = before.begin() + static_cast<ptrdiff_t>(length == 0 ? 0 : *offset);
        if (fuzz::readWholeFile(folder + "/" + file.rowName) !=
            std::vector<uint8_t>(data, data + length)) {
            broken(file.rowName + " was extracted with other bytes than its data");
        }
    }
    for (const auto& entry : entriesOf(folder)) {
        if (!std::filesystem::is_regular_file(entry)) {
            broken("Extract made something other than a file: " + entry.string());
        }
    }
}

void checkOverwrite(const OperationSnapshot& snapshot, const std::string& replacement) {
    if (snapshot.files.empty()) {
        return;
    }
    const auto& image = snapshot.imagePath;
    const auto before = fuzz::readWholeFile(image);
    QuietObserver observer;
    OperationSnapshot first = snapshot;
    first.files.erase(first.files.begin() + 1, first.files.end());
    (void)overwriteFile(first, replacement, observer);
    expectChangedOnlyWithin("Overwrite", before, fuzz::readWholeFile(image),
                            dataRanges(first, before.size()));
}

void checkBlanking(const OperationSnapshot& snapshot) {
    const auto& image = snapshot.imagePath;
    const auto before = fuzz::readWholeFile(image);
    QuietObserver observer;
    blankFiles(snapshot, observer);
    const auto after = fuzz::readWholeFile(image);
    const auto ranges = dataRanges(snapshot, before.size());
    expectChangedOnlyWithin("Dummy", before, after, ranges);
    for (const auto& [first, end] : ranges) {
        for (uint64_t i = first; i < end; ++i) {
            if (after[i] != 0 && after[i] != before[i]) {
                broken("Dummy wrote a byte other than zero at " + std::to_string(i));
            }
        }
    }
}

// Relink may write the extent and length fields (offsets 2 to 17) of the records it found and
// of the Joliet tree's file records, and nothing else: in the presented file and, on layer 1,
// at the same records in the image.
void checkRelink(Session& session, DirectoryNumber directory,
                 const std::vector<std::string>& names) {
    const auto master = names.empty() ? Result<MasterFile>(Error{ErrorKind::NotFound, "none"})
                                      : chooseMasterFile(session, directory, names.front());
    if (!master) {
        return;
    }
    std::vector<ByteRange> fields;
    const auto addFields = [&fields](const RecordLocation& record) {
        fields.emplace_back(record.recordOffset + record::kExtentLba,
                            record.recordOffset + record::kDataLength + 8);
    };
    for (const auto& name : names) {
        if (const auto found = session.findRecord(directory, name); found) {
            addFields(*found);
        }
    }
    if (const auto joliet = session.jolietTree(); joliet && *joliet != nullptr) {
        std::ranges::for_each((*joliet)->files(), addFields);
    }
    auto imageFields = fields;
    for (auto& [first, end] : imageFields) {
        first += session.layerOffset();
        end += session.layerOffset();
    }
    const auto presentedBefore = fuzz::readWholeFile(session.presentedPath());
    const auto imageBefore = fuzz::readWholeFile(session.imagePath());
    (void)relinkFiles(session, directory, names, *master, true);
    expectChangedOnlyWithin("Relink", presentedBefore, fuzz::readWholeFile(session.presentedPath()),
                            session.presentsLayerOne() ? fields : imageFields);
    expectChangedOnlyWithin("Relink", imageBefore, fuzz::readWholeFile(session.imagePath()),
                            imageFields);
}

}  // namespace

std::optional<Session> openImage(const std::string& image, const std::string& layerCopy) {
    auto session = Session::open(image, layerCopy);
    if (!session) {
        if (session.error().message.empty()) {
            broken("a volume was refused without a reason");
        }
        return std::nullopt;
    }
    return std::move(*session);
}

void browseVolume(Session& session) {
    const auto& directories = session.volume().directories;
    for (const auto& directory : directories) {
        if (directory.parent >= directory.number) {
            broken("directory " + std::to_string(directory.number) + " hangs under " +
                   std::to_string(directory.parent) + ", which does not come before it");
        }
    }
    const size_t listed = std::min(directories.size(), kMaxDirectoriesListed);
    for (DirectoryNumber number = 1; number <= listed; ++number) {
        const auto listing = session.listDirectory(number);
        if (!listing) {
            continue;
        }
        for (const auto& row : listing->rows) {
            const auto found = session.findRecord(number, row.name);
            if (!found) {
                broken("listed row \"" + row.name +
                       "\" was not found again: " + found.error().message);
            }
            if (found->identifier.substr(0, row.name.size()) != row.name) {
                broken("row \"" + row.name + "\" was found as \"" + found->identifier + "\"");
            }
        }
    }
}

void exerciseOperations(Session& session, DirectoryNumber directory,
                        const std::string& scratchFolder) {
    const auto listing = session.listDirectory(directory);
    if (!listing) {
        return;
    }
    std::vector<std::string> names;
    for (const auto& row : listing->rows) {
        names.push_back(row.name);
    }
    const auto snapshot = session.snapshot(directory, names);
    const auto folder = scratchFolder + "/extracted";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    checkExtraction(snapshot, folder);

    const auto replacement = scratchFolder + "/replacement.bin";
    std::ofstream(replacement, std::ios::binary | std::ios::trunc) << std::string(3000, 'K');
    checkOverwrite(snapshot, replacement);
    checkBlanking(snapshot);
    checkRelink(session, directory, names);
}

}  // namespace kestrel::checks
