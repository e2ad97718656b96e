#include "ops/UndoEdit.h"

#include <algorithm>

#include "ops/ImageWriter.h"

namespace kestrel {

namespace {

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

}  // namespace

Result<void> undoEntry(const Journal& journal, uint64_t id, const JournalFiles& files) {
    const auto listed = inEffect(journal, id, files.imagePath);
    if (!listed) {
        return listed.error();
    }
    const std::string description = describeEdit(listed->summary);
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
    for (const SavedRange* range : undoable->order) {
        auto saved = undoable->file.savedBytes(*range);
        auto writer = saved ? ImageWriter::open(*files.pathOf(range->target), &*edit, range->target)
                            : Result<ImageWriter>(saved.error());
        Result<void> written =
            writer ? writer->writeAt(range->offset, *saved) : Result<void>(writer.error());
        if (written) {
            written = writer->finish();
        }
        if (!written) {
            return edit->putBackAfter(written.error(), 0, "the image");
        }
    }
    return edit->complete();
}

}  // namespace kestrel
