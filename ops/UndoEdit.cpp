#include "ops/UndoEdit.h"

#include <algorithm>
#include <utility>

#include "journal/RangeReplay.h"
#include "journal/StagedWrites.h"
#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

// An undo saves and writes its ranges in batches of this many bytes: one sync of the journal
// for thousands of record edits, and no more than this held in memory for a large file.
constexpr uint64_t kUndoBatchBytes = uint64_t{16} << 20;

// The entry `id` as the history lists it, when it is in effect.
Result<JournalEntry> inEffect(const Journal& journal, uint64_t id, const std::string& imagePath) {
    using State = JournalEntry::State;
    const auto history = journal.history();
    if (!history) {
        return history.error();
    }
    const auto listed = std::ranges::find(*history, id, &JournalEntry::id);
    if (listed == history->end()) {
        return Error{ErrorKind::NotFound, "The undo journal of " + imagePath +
                                              " holds no edit number " + std::to_string(id)};
    }
    if (listed->state != State::InEffect) {
        return Error{ErrorKind::Changed,
                     describeEdit(listed->summary) + " cannot be undone: " +
                         (listed->state == State::Undone       ? "it was undone already"
                          : listed->state == State::RolledBack ? "it was put back when it failed"
                                                               : "it was never completed")};
    }
    return *listed;
}

// What an undo has put back of all it puts back, for the observer that shows it.
class UndoProgress {
public:
    UndoProgress(const UndoableEntry& undoable, OperationObserver* observer) : observer_(observer) {
        for (const SavedRange* range : undoable.order) {
            total_ += range->length;
        }
    }
    void add(uint64_t bytes) {
        done_ += bytes;
        if (observer_ != nullptr && total_ > 0) {
            observer_->showPercent(static_cast<int>(done_ * 100 / total_));
        }
    }

private:
    OperationObserver* observer_;
    uint64_t total_ = 0;
    uint64_t done_ = 0;
};

// Undoes the ranges of `undoable` that write `target`, newest first, in batches: each
// batch's ranges are saved for this undo with one sync, then written. What a range replaces
// is what the file will hold once the newer ranges are put back, which the replay gives.
Result<void> undoRanges(const UndoableEntry& undoable, JournalTarget target, JournalEdit& edit,
                        UndoProgress& progress) {
    auto file = edit.file(target);
    auto writer = file ? ImageWriter::open(edit, target) : Result<ImageWriter>(file.error());
    if (!writer) {
        return writer.error();
    }
    const RangeReplay replay(undoable.file, undoable.entry.ranges, target, **file);
    StagedWrites batch;
    uint64_t batchBytes = 0;
    for (const SavedRange* range : undoable.order) {
        if (range->target != target) {
            continue;
        }
        if (range->resizedTo) {
            // The ranges newer than a change of length are in place before it is put back, and
            // the older ones read the file as it leaves it.
            if (auto written = writer->applyStaged(batch); !written) {
                return written;
            }
            progress.add(std::exchange(batchBytes, 0));
            batch = {};
            if (auto resized = edit.resize(target, range->offset); !resized) {
                return resized;
            }
            continue;
        }
        auto saved = undoable.file.savedBytes(*range);
        auto present =
            saved ? replay.before(static_cast<size_t>(range - undoable.entry.ranges.data()))
                  : Result<ReplayedBytes>(saved.error());
        if (!present) {
            return present.error();
        }
        batch.save(target, range->offset, present->bytes, *saved);
        batchBytes += range->length;
        if (batchBytes >= kUndoBatchBytes) {
            if (auto written = writer->applyStaged(batch); !written) {
                return written;
            }
            progress.add(batchBytes);
            batch = {};
            batchBytes = 0;
        }
    }
    if (auto written = writer->applyStaged(batch); !written) {
        return written;
    }
    progress.add(batchBytes);
    return writer->finish();
}

}  // namespace

Result<void> undoEntry(const Journal& journal, uint64_t id, const JournalFiles& files,
                       OperationObserver* observer) {
    const auto listed = inEffect(journal, id, files.imagePath());
    if (!listed) {
        return listed.error();
    }
    const std::string description = describeEdit(listed->summary);
    if (observer != nullptr) {
        observer->beginFile(description);
    }
    auto edit = journal.begin(
        {EditKind::Undo, listed->summary.fileCount, listed->summary.dataBytes, description, 0, id},
        files);
    if (!edit) {
        return edit.error();
    }
    const auto undoable = journal.openForUndo(id, *edit, description);
    if (!undoable) {
        return undoable.error();
    }
    UndoProgress progress(*undoable, observer);
    for (const auto target : {JournalTarget::Image, JournalTarget::LayerCopy}) {
        if (files.pathOf(target) == nullptr) {
            continue;
        }
        if (auto written = undoRanges(*undoable, target, *edit, progress); !written) {
            return edit->rollBackAfter(written.error(), 0, "the image");
        }
    }
    return edit->complete();
}

}  // namespace kestrel
