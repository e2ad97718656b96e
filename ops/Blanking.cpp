#include "ops/Blanking.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <optional>
#include <vector>

#include "ops/DataRewrite.h"

namespace kestrel {

namespace {

constexpr uint8_t kDummyFill = 0x00;

// Saves the old bytes of the files from `first` on, up to kSavedChunkSize of them, before
// any is written, so that the journal is synced once for many small files rather than once
// per file. Returns the journal's mark before each file saved, in order; stops at a file that
// is saved in pieces as it is written (a large one, or one of several extents), that cannot
// be saved now (it fails in its turn), or whose data overlaps a file saved ahead of it (files
// relinked to one master share their data): its old bytes are those the earlier file leaves,
// read once that is written.
std::vector<size_t> saveAhead(ImageWriter& image, JournalEdit& edit,
                              const OperationSnapshot& snapshot, size_t first) {
    std::vector<size_t> marks;
    std::vector<uint8_t> fill;
    std::map<uint64_t, uint64_t> extents;  // of the files saved, first byte to end
    uint64_t saved = 0;
    // The size is read once for the batch; each write checks it again.
    const auto imageSize = image.size();
    for (size_t i = first; imageSize && i < snapshot.files.size(); ++i) {
        const auto& file = snapshot.files[i];
        // A file of several extents is saved one extent at a time as it is written.
        if (!file.record || file.record->isChained()) {
            break;
        }
        const auto offset = snapshot.dataOffset(file, *imageSize);
        if (!offset || !snapshot.mayWriteOver(file) ||
            file.record->dataLength > kSavedChunkSize - saved) {
            break;
        }
        const uint32_t length = file.record->dataLength;
        const uint64_t end = *offset + length;
        const auto next = extents.lower_bound(*offset);
        if ((next != extents.end() && next->first < end) ||
            (next != extents.begin() && std::prev(next)->second > *offset)) {
            break;
        }
        extents.emplace_hint(next, *offset, end);
        fill.resize(std::max<size_t>(fill.size(), length), kDummyFill);
        marks.push_back(edit.mark());
        if (length > 0 && !image.stage(*offset, std::span(fill).first(length), false)) {
            // A journal that failed a write (its disk full) takes none until it is cut back to
            // before this file, which then fails in its turn and alone.
            static_cast<void>(edit.rollBackTo(marks.back()));
            marks.pop_back();
            break;
        }
        saved += length;
    }
    return marks;
}

}  // namespace

Result<void> blankFile(ImageWriter& image, JournalEdit& edit, const OperationSnapshot& snapshot,
                       const SnapshotFile& file, OperationObserver& observer,
                       std::optional<size_t> savedAheadFrom) {
    return rewriteFileData(
        image, edit, snapshot, file, observer,
        [](uint64_t, std::span<uint8_t> block) {
            std::ranges::fill(block, kDummyFill);
            return Result<void>();
        },
        savedAheadFrom);
}

OperationReport blankFiles(const OperationSnapshot& snapshot, OperationObserver& observer) {
    OperationReport report;
    auto edit = snapshot.beginEdit(EditKind::Dummy);
    auto image = edit ? ImageWriter::openUserData(*edit) : Result<ImageWriter>(edit.error());
    // A raw image's sectors are staged two at a time, as they are written.
    const bool saveFilesAhead = edit && edit->keepsUndo() && !snapshot.imageLayout;
    std::vector<size_t> savedAhead;  // the marks of the files saved ahead, from aheadFrom on
    size_t aheadFrom = 0;
    for (size_t i = 0; i < snapshot.files.size(); ++i) {
        const SnapshotFile& file = snapshot.files[i];
        if (observer.stopRequested()) {
            report.stopped = true;
            break;
        }
        if (image && saveFilesAhead && i >= aheadFrom + savedAhead.size()) {
            aheadFrom = i;
            savedAhead = saveAhead(*image, *edit, snapshot, i);
        }
        const auto mark = i < aheadFrom + savedAhead.size()
                              ? std::optional(savedAhead[i - aheadFrom])
                              : std::nullopt;
        auto blanked = image ? blankFile(*image, *edit, snapshot, file, observer, mark)
                             : Result<void>(image.error());
        if (!blanked) {
            report.failures.push_back({file.rowName, blanked.error()});
            // Put back with this file, the later files saved ahead are saved again.
            savedAhead.resize(std::min(savedAhead.size(), i + 1 - aheadFrom));
        }
    }
    // Without the sync, or the mark of completion, the run is put back: every file failed.
    if (auto completed = image ? finishRewrite(*image, *edit) : Result<void>(); !completed) {
        report.failures.clear();
        for (const auto& file : snapshot.files) {
            report.failures.push_back({file.rowName, completed.error()});
        }
    }
    return report;
}

}  // namespace kestrel
