#include "fuzz/ImageChecks.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fuzz/FuzzImage.h"
#include "image/DirectoryRecord.h"
#include "image/IsoLayout.h"
#include "io/RawImage.h"
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

// The user data the file holds: cooked, its bytes as they are.
uint64_t userDataSize(const std::optional<RawLayout>& raw, uint64_t fileSize) {
    if (!raw) {
        return fileSize;
    }
    const uint64_t held =
        fileSize <= raw->firstByte ? 0 : (fileSize - raw->firstByte) / kRawSectorSize;
    return std::min(held, raw->sectors) * kUserDataSize;
}

// The ranges of user data that the snapshot's files hold.
std::vector<ByteRange> dataRanges(const OperationSnapshot& snapshot, uint64_t fileSize) {
    std::vector<ByteRange> ranges;
    for (const auto& file : snapshot.files) {
        const auto pieces =
            file.record ? snapshot.dataPieces(file, userDataSize(snapshot.imageLayout, fileSize))
                        : Result<std::vector<DataPiece>>(file.record.error());
        // An extent of no bytes may say it starts past the end; it owns nothing.
        for (const auto& piece : pieces ? *pieces : std::vector<DataPiece>{}) {
            if (piece.length != 0) {
                ranges.emplace_back(piece.offset, piece.offset + piece.length);
            }
        }
    }
    return ranges;
}

// Where user data ranges lie in a raw image's file; with `codes`, also the bytes behind each
// touched sector's user data, its error codes (and a Form 2 sector's remaining data), which a
// write of the sector computes again. Sync, header and subheader are never in them.
std::vector<ByteRange> inFile(const std::optional<RawLayout>& raw, std::vector<ByteRange> ranges,
                              bool codes) {
    if (!raw) {
        return ranges;
    }
    std::vector<ByteRange> placed;
    for (const auto& [first, end] : ranges) {
        for (uint64_t at = first; at < end;) {
            const uint64_t lba = at / kUserDataSize;
            const uint64_t sectorEnd = std::min(end, (lba + 1) * kUserDataSize);
            const uint64_t data = raw->sectorOffset(lba) + raw->userDataOffset();
            placed.emplace_back(data + at % kUserDataSize,
                                data + (sectorEnd - 1) % kUserDataSize + 1);
            if (codes) {
                placed.emplace_back(data + kUserDataSize, raw->sectorOffset(lba + 1));
            }
            at = sectorEnd;
        }
    }
    return placed;
}

// Every sector of a raw image that an operation changed has codes that hold.
void expectCodesHold(const std::string& operation, const std::optional<RawLayout>& raw,
                     const std::vector<uint8_t>& before, const std::vector<uint8_t>& after) {
    if (!raw || after.size() != before.size()) {
        return;
    }
    for (uint64_t lba = 0; lba < raw->sectors; ++lba) {
        const auto from = static_cast<ptrdiff_t>(raw->sectorOffset(lba));
        const auto sector = after.begin() + from;
        if (!std::equal(sector, sector + kRawSectorSize, before.begin() + from) &&
            !sectorCodesHold(ConstRawSector(&*sector, kRawSectorSize))) {
            broken(operation + " left sector " + std::to_string(lba) + " with codes that fail");
        }
    }
}

// What extracting `length` bytes of user data from `offset` gives: those bytes, or for a raw
// image's file holding Form 2 sectors, each sector's subheader and the 2324 bytes behind it.
std::vector<uint8_t> extractedFrom(const std::vector<uint8_t>& image,
                                   const std::optional<RawLayout>& raw, uint64_t offset,
                                   uint32_t length) {
    const auto cooked = image.begin() + static_cast<ptrdiff_t>(length == 0 ? 0 : offset);
    if (!raw || length == 0) {
        return {cooked, cooked + length};
    }
    const uint64_t first = offset / kUserDataSize;
    const uint64_t sectors = (uint64_t{length} + kUserDataSize - 1) / kUserDataSize;
    bool form2 = false;
    for (uint64_t lba = first; lba < first + sectors && raw->mode == 2; ++lba) {
        form2 = form2 || (image[raw->sectorOffset(lba) + kSubmodeOffset] & kSubmodeForm2) != 0;
    }
    const SectorView view = form2 ? kXaSectorView : userDataView(*raw);
    std::vector<uint8_t> bytes;
    for (uint64_t lba = first; lba < first + sectors; ++lba) {
        const auto sector = image.begin() + static_cast<ptrdiff_t>(raw->sectorOffset(lba));
        const auto count =
            form2 ? view.length : std::min<uint64_t>(view.length, length - bytes.size());
        bytes.insert(bytes.end(), sector + static_cast<ptrdiff_t>(view.offset),
                     sector + static_cast<ptrdiff_t>(view.offset + count));
    }
    return bytes;
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
    const auto& image = snapshot.imagePath();
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
        const auto pieces =
            snapshot.dataPieces(file, userDataSize(snapshot.imageLayout, before.size()));
        if (!pieces) {
            broken(file.rowName + " was extracted although " + pieces.error().message);
        }
        std::vector<uint8_t> expected;
        for (const auto& piece : *pieces) {
            const auto bytes =
                extractedFrom(before, snapshot.imageLayout, piece.offset, piece.length);
            expected.insert(expected.end(), bytes.begin(), bytes.end());
        }
        if (fuzz::readWholeFile(*extractionPath(folder, file.rowName)) != expected) {
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
    const auto& image = snapshot.imagePath();
    const auto before = fuzz::readWholeFile(image);
    QuietObserver observer;
    OperationSnapshot first = snapshot;
    first.files.erase(first.files.begin() + 1, first.files.end());
    (void)overwriteFile(first, replacement, observer);
    const auto after = fuzz::readWholeFile(image);
    expectChangedOnlyWithin("Overwrite", before, after,
                            inFile(first.imageLayout, dataRanges(first, before.size()), true));
    expectCodesHold("Overwrite", first.imageLayout, before, after);
}

void checkBlanking(const OperationSnapshot& snapshot) {
    const auto& image = snapshot.imagePath();
    const auto before = fuzz::readWholeFile(image);
    QuietObserver observer;
    blankFiles(snapshot, observer);
    const auto after = fuzz::readWholeFile(image);
    const auto ranges = dataRanges(snapshot, before.size());
    expectChangedOnlyWithin("Dummy", before, after, inFile(snapshot.imageLayout, ranges, true));
    expectCodesHold("Dummy", snapshot.imageLayout, before, after);
    for (const auto& [first, end] : inFile(snapshot.imageLayout, ranges, false)) {
        for (uint64_t i = first; i < end; ++i) {
            if (after[i] != 0 && after[i] != before[i]) {
                broken("Dummy wrote a byte other than zero at " + std::to_string(i));
            }
        }
    }
}

// Relink may write the extent and length fields (offsets 2 to 17) of the records it found and
// of the Joliet tree's file records, and the UDF entries that are the found records' twins on
// a bridge image (with their metadata mirror's copies), and nothing else: in the presented
// file and, on layer 1, at the same records in the image.
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
        const auto found = session.findRecord(directory, name);
        if (!found) {
            continue;
        }
        addFields(*found);
        if (const auto twin = session.udfTwinOfRecords(*found)) {
            for (const auto sector : {std::optional(twin->entry.sector), twin->mirrorSector}) {
                if (sector) {
                    fields.emplace_back(uint64_t{*sector} * kSectorSize,
                                        (uint64_t{*sector} + 1) * kSectorSize);
                }
            }
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
    const auto raw = session.snapshot(directory, {}).imageLayout;
    imageFields = inFile(raw, imageFields, true);
    const auto presentedBefore = fuzz::readWholeFile(session.presentedPath());
    const auto imageBefore = fuzz::readWholeFile(session.imagePath());
    (void)relinkFiles(session, directory, names, *master, true);
    expectChangedOnlyWithin("Relink", presentedBefore, fuzz::readWholeFile(session.presentedPath()),
                            session.presentsLayerOne() ? fields : imageFields);
    const auto imageAfter = fuzz::readWholeFile(session.imagePath());
    expectChangedOnlyWithin("Relink", imageBefore, imageAfter, imageFields);
    expectCodesHold("Relink", raw, imageBefore, imageAfter);
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
    std::vector<size_t> depths(directories.size() + 1);
    for (const auto& directory : directories) {
        const std::string named = "directory " + std::to_string(directory.number);
        if (directory.parent >= directory.number) {
            broken(named + " hangs under " + std::to_string(directory.parent) +
                   ", which does not come before it");
        }
        if (directory.number > 1 && directories[directory.parent - 1].sameAs != 0) {
            broken(named + " hangs under a repeat, which holds no subdirectories");
        }
        depths[directory.number] = directory.number == 1 ? 0 : depths[directory.parent] + 1;
        if (depths[directory.number] > kMaxDirectoryDepth) {
            broken(named + " lies " + std::to_string(depths[directory.number]) + " levels deep");
        }
        const DirectoryNumber first = directory.sameAs;
        if (first != 0 && (first >= directory.number || directories[first - 1].sameAs != 0 ||
                           directories[first - 1].extentLba != directory.extentLba)) {
            broken(named + " is marked the same as " + std::to_string(first) +
                   ", which is no first directory at its extent");
        }
    }
    // Rows listed <= directory records present: each extent is listed once, no sector's
    // records for two directories, and a walk visits each record once. So no record is found
    // again from two directories.
    std::unordered_map<uint64_t, DirectoryNumber> listedFrom;
    const size_t listed = std::min(directories.size(), kMaxDirectoriesListed);
    for (DirectoryNumber number = 1; number <= listed; ++number) {
        const auto listing = session.listDirectory(number);
        if (!listing) {
            continue;
        }
        if (directories[number - 1].sameAs != 0 && !listing->rows.empty()) {
            broken("directory " + std::to_string(number) + " repeats " +
                   std::to_string(directories[number - 1].sameAs) + " and still lists rows");
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
            const auto from = listedFrom.try_emplace(found->recordOffset, number).first->second;
            if (from != number) {
                broken("the record at " + std::to_string(found->recordOffset) +
                       " is listed in directories " + std::to_string(from) + " and " +
                       std::to_string(number));
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
