// The undo journal of one image: a folder of entries, one per edit, in the user's state
// folder, named by the image's device and inode. Each entry keeps the bytes an edit
// overwrote, so the edit can be rolled back when it fails, recovered when it was cut short
// by a crash, and undone on request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/ImageFile.h"
#include "ops/EditSummary.h"
#include "ops/JournalEdit.h"
#include "ops/UndoLimits.h"

namespace kestrel {

// The image's device, inode, size and the checksum of its volume descriptors.
Result<ImageIdentity> imageIdentity(const std::string& imagePath);

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

class Journal {
public:
    // The journal of the image at `imagePath`. A journal found under its device and inode
    // whose entries do not fit the file there now (another file took the inode) is set aside,
    // never applied.
    static Result<Journal> of(const std::string& imagePath);

    const std::string& folder() const { return folder_; }
    // Starts an edit; only one edit of an image is made at a time, in any process.
    Result<JournalEdit> begin(EditSummary summary, JournalFiles files) const;
    // Every entry, oldest first.
    Result<std::vector<JournalEntry>> history() const;
    // The newest edit in effect that Undo would revert; an undo is reverted only when asked
    // for by its number.
    Result<std::optional<JournalEntry>> lastUndoable() const;
    // Puts back each edit that a crash cut short, once every range is seen to hold its old
    // or its new bytes; says what was done. Layer-1 copies are not touched: they are made
    // again from the image.
    Result<std::vector<std::string>> recover(const JournalFiles& files) const;
    // Reverts entry `id` after checking that every range still holds what it wrote. The
    // undo is itself an edit in the journal.
    Result<void> undo(uint64_t id, const JournalFiles& files) const;

private:
    Journal(std::string folderName, std::string folder, FileIdentity file)
        : folderName_(std::move(folderName)), folder_(std::move(folder)), file_(file) {}

    std::string folderName_;  // inside the state folder
    std::string folder_;
    FileIdentity file_;
};

// Starts an edit of `files` in `journal`, or without undo when `keepUndo` is false; a
// journal that could not be opened refuses the edit.
Result<JournalEdit> beginJournalEdit(const Result<Journal>& journal, bool keepUndo,
                                     const EditSummary& summary, JournalFiles files);

// Drops the oldest complete entries of every image until all take at most `totalBytes`;
// `keep` is never dropped.
void pruneJournals(uint64_t totalBytes, const std::string& keep);

}  // namespace kestrel
