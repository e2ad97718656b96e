// The undo journal of one image: a folder of entries, one per edit, in the user's state
// folder, named by the image's device, inode and birth. Each entry keeps the bytes an edit
// overwrote, so the edit can be rolled back when it fails, recovered when it was cut short
// by a crash, and undone on request.
//
// Several Kestrel processes may use one journal at once, so who may change what is fixed:
// - The folder's lock (flock on the folder itself) is held by the one edit of the image
//   being made, from before its entry is created until it is complete or rolled back.
// - Anything that changes the folder does so under the lock: creating an entry, recovering
//   one, removing one a crash left without its Begin record, pruning, and setting the whole
//   journal aside when it no longer fits its image.
// - Readers (listing, history, the look for entries cut short) take no lock and change
//   nothing. An entry without its completion mark may be one another process is writing
//   now: a reader leaves it alone, and recovery happens only under the lock, which a process
//   still writing its entry holds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/ImageSource.h"
#include "journal/EditSummary.h"
#include "journal/EntryFile.h"
#include "journal/ImageIdentity.h"
#include "journal/JournalEdit.h"
#include "journal/JournalFolder.h"

namespace kestrel {

struct JournalEntry {
    enum class State {
        InEffect,    // complete, and what it wrote is in the image
        Undone,      // reverted by a later undo
        RolledBack,  // a write failed or a crash cut it short, and it was put back
        Incomplete,  // cut short and not yet recovered
    };
    uint64_t id = 0;
    EditSummary summary;
    State state = State::Incomplete;
    uint64_t journalBytes = 0;  // what its entry takes on the disk
};

// An entry whose edit is to be undone, read under the lock and checked: every range it wrote
// still holds what the edit left there.
struct UndoableEntry {
    EntryFile file;
    JournalEntryFile entry;
    // The ranges to put back, newest first.
    std::vector<const SavedRange*> order;
};

// A range of the image that an edit wrote, and the bytes it held before, as far as the first
// bytes of the image asked for: enough to tell what an edit wrote over where the volume's own
// structures begin, without reading the whole of a large file's old data.
struct WrittenRange {
    uint64_t offset = 0;
    uint64_t length = 0;
    std::vector<uint8_t> oldHead;  // the old bytes of [offset, min(offset + length, head))
};

class Journal {
public:
    // The journal of the open image file `image`. Nothing is read or changed yet.
    static Result<Journal> of(const ImageFile& image);

    const std::string& folder() const { return folder_; }
    // Starts an edit; only one edit of an image is made at a time, in any process. A journal
    // that no longer fits the image (another file was copied over it, or another program
    // wrote it) is set aside first, never applied.
    Result<JournalEdit> begin(EditSummary summary, JournalFiles files) const;
    // Starts an edit the user chose to make without undo. It holds the lock all the same, and
    // records what it left the image like, so that the edits before it stay undoable.
    Result<JournalEdit> beginWithoutUndo(JournalFiles files) const;
    // Every entry, oldest first.
    Result<std::vector<JournalEntry>> history() const;
    // The newest edit in effect that Undo would revert; an undo is reverted only when asked
    // for by its number.
    Result<std::optional<JournalEntry>> lastUndoable() const;
    // The undo that Redo would revert: the newest undo of an edit still in effect, unless an
    // edit in effect is newer. Undoing it puts the edit back.
    Result<std::optional<JournalEntry>> lastRedoable() const;
    // That there is nothing to undo for `imageName`, and, when no edit of it is kept at all,
    // where the journal was looked for and what was found there.
    std::string nothingToUndo(const std::string& imageName) const;
    // Where entry `id` wrote in the image, oldest range first, with the old bytes of what it
    // wrote below byte `head`. Read without the lock: a complete entry no longer changes.
    Result<std::vector<WrittenRange>> writtenRanges(uint64_t id, uint64_t head) const;
    // Puts back each edit that a crash cut short, once every range is seen to hold its old
    // or its new bytes; says what was done. Layer-1 copies are not touched: they are made
    // again from the image.
    Result<std::vector<std::string>> recover(const JournalFiles& files) const;
    // Entry `id`, for `undo`, which holds the lock, once every range it wrote is seen to hold
    // what it left there and the image to be the one the journal's last edit left;
    // `description` names the edit in the refusal.
    Result<UndoableEntry> openForUndo(uint64_t id, JournalEdit& undo,
                                      const std::string& description) const;

private:
    struct Locked {
        OwnedFolder folder;
        ImageIdentity identity;
    };
    // Takes the folder's lock for an edit of `image`, once it is seen to be the file the
    // journal was opened for and the one its path still names; with `checkFit`, a journal
    // that no longer fits it is set aside first.
    Result<Locked> lockFor(const ImageFile& image, bool checkFit) const;
    Journal(std::string folderName, std::string folder, FileIdentity file)
        : folderName_(std::move(folderName)), folder_(std::move(folder)), file_(file) {}
    // `folder` is the journal's folder, locked. When the journal does not fit the image
    // `identity`, it is set aside and `folder` becomes a new one, locked.
    Result<void> makeFit(OwnedFolder& folder, const ImageIdentity& identity,
                         const std::string& imagePath) const;
    Result<std::string> recoverEntry(EntryFile& file, const ImageFile& image) const;

    std::string folderName_;  // inside the state folder
    std::string folder_;
    FileIdentity file_;
};

// Entry `id` as the history lists it before later undos are taken into account: in effect,
// rolled back or cut short.
JournalEntry listedEntry(uint64_t id, const JournalEntryFile& entry, uint64_t journalBytes);
// The entries so listed, oldest first, with each undo in effect taken into account: the edit
// it reverts is undone, and an undo it reverts puts that one's edit back in effect.
std::vector<JournalEntry> settledHistory(std::vector<JournalEntry> history);

// Starts an edit of `files` in `journal`, or without undo when `keepUndo` is false; a
// journal that could not be opened refuses the edit.
Result<JournalEdit> beginJournalEdit(const Result<Journal>& journal, bool keepUndo,
                                     const EditSummary& summary, JournalFiles files);

}  // namespace kestrel
