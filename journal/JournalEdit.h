// One edit in progress, as its journal entry records it. Whatever writes an image saves each
// range here before overwriting it (ImageWriter does so for every write it is given), so
// that a failed write can be rolled back, an interrupted one recovered, and a complete one
// undone.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "io/ImageFile.h"
#include "io/RawLayout.h"
#include "journal/DryRunWrites.h"
#include "journal/EntryRecords.h"
#include "journal/StagedWrites.h"

namespace kestrel {

// How many of a previewed range's first old and new bytes are kept to be shown.
inline constexpr size_t kPreviewedBytes = 16;

// A range a previewed edit would write, from the first byte it changes to the last: where,
// how long, and its first old and new bytes.
struct PreviewedRange {
    JournalTarget target = JournalTarget::Image;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::vector<uint8_t> oldStart;
    std::vector<uint8_t> newStart;
    // Whether the new bytes differ from the old at all; a range that does not is empty.
    bool changes = false;
};

// The files an edit may write, by their place in the journal, as their owner opened them
// once: every edit reads and writes a duplicate of the same open file, so a path renamed or
// replaced meanwhile never sends a write elsewhere.
struct JournalFiles {
    std::shared_ptr<const ImageFile> image;
    std::shared_ptr<const ImageFile> layerCopy;  // none without a layer-1 copy
    // How a raw image holds its user data, which record and data edits write; the journal
    // itself saves and puts back the image's bytes as they lie in the file.
    std::optional<RawLayout> imageLayout;

    const std::string& imagePath() const { return image->path(); }
    const ImageFile* fileOf(JournalTarget target) const {
        return target == JournalTarget::Image ? image.get() : layerCopy.get();
    }
    const std::string* pathOf(JournalTarget target) const {
        const ImageFile* file = fileOf(target);
        return file != nullptr ? &file->path() : nullptr;
    }
};

class JournalEdit {
public:
    // An edit the user chose to make without undo: nothing is saved, nothing can be rolled
    // back.
    static JournalEdit withoutUndo(JournalFiles files) {
        JournalEdit edit;
        edit.files_ = std::move(files);
        return edit;
    }
    // The same, holding the lock of the journal `journalFolder`, where it notes at its end
    // what it left the image like.
    static JournalEdit withoutUndo(JournalFiles files, int lockedFolder,
                                   std::string journalFolder) {
        JournalEdit edit = withoutUndo(std::move(files));
        edit.folder_ = lockedFolder;
        edit.journalFolder_ = std::move(journalFolder);
        return edit;
    }
    // An edit that writes nothing: every range it would write is kept in memory with its old
    // and new bytes, for a dry run to show, and the files are opened for reading only.
    static JournalEdit preview(JournalFiles files) {
        JournalEdit edit;
        edit.files_ = std::move(files);
        edit.preview_ = true;
        return edit;
    }
    // A preview that also keeps, in memory, every range it would save with its old and new
    // bytes and every write it would make, which its own later reads see: an edit staged so,
    // then committed with one sync of the journal.
    static JournalEdit staging(JournalFiles files) {
        JournalEdit edit = preview(std::move(files));
        edit.staged_ = std::make_unique<StagedWrites>();
        return edit;
    }
    // A preview whose reads, from the files it opens, see what it would have written, and the
    // length it would have given them: a plan's dry run, each edit seeing the ones before.
    // The old bytes it shows are the files' before it.
    static JournalEdit dryRun(JournalFiles files) {
        JournalEdit edit = preview(std::move(files));
        edit.dryRun_ = std::make_unique<DryRunWrites>();
        return edit;
    }
    // Takes over an entry file that holds its Begin record, and the locked folder; `before`
    // is the image as the edit found it.
    JournalEdit(int folder, int entry, std::string entryPath, JournalFiles files,
                const ImageIdentity& before);

    JournalEdit(JournalEdit&& other) noexcept;
    JournalEdit& operator=(JournalEdit&&) = delete;
    JournalEdit(const JournalEdit&) = delete;
    JournalEdit& operator=(const JournalEdit&) = delete;
    ~JournalEdit();

    bool keepsUndo() const { return entry_ >= 0 || preview_; }
    bool previewsOnly() const { return preview_; }
    // What a staging edit made in memory; nothing for any other edit.
    StagedWrites* staged() const { return staged_.get(); }
    // What a dry run would have written; nothing for any other edit.
    const DryRunWrites* dryRunWrites() const { return dryRun_.get(); }
    // Takes, in a dry run, the bytes a preview would have written to `target` at `offset`.
    void previewWrite(JournalTarget target, uint64_t offset, std::span<const uint8_t> bytes) {
        if (dryRun_) {
            dryRun_->write(target, offset, bytes);
        }
    }
    // The same for bytes `make` makes again whenever they are read.
    void previewMade(JournalTarget target, uint64_t offset, uint64_t length,
                     PendingWrites::Maker make) {
        if (dryRun_) {
            dryRun_->writeMade(target, offset, length, std::move(make));
        }
    }
    const std::vector<PreviewedRange>& previewed() const { return previewed_; }
    const JournalFiles& files() const { return files_; }
    // A raw image's data track now holds `sectors`, as a growth within this edit left it, so
    // that what writes its user data later in the edit reaches the sectors added.
    void followTrackLength(uint64_t sectors) {
        if (files_.imageLayout) {
            files_.imageLayout->sectors = sectors;
        }
    }
    // The edit's file `target`, opened on first use (for update; for reading by a preview)
    // and kept until the edit ends, so that every write, restore and sync of the edit meets
    // the same file, whatever its path names meanwhile.
    Result<std::shared_ptr<ImageFile>> file(JournalTarget target);
    const std::string& entryPath() const { return entryPath_; }
    // Saves what `target` holds at `offset`, and checksums of it and of `newBytes` that are
    // to replace it; the journal is on the disk when this returns, unless `sync` is false:
    // then syncSaved must be called before the bytes are overwritten.
    Result<void> save(JournalTarget target, uint64_t offset, std::span<const uint8_t> oldBytes,
                      std::span<const uint8_t> newBytes, bool sync = true);
    // The same for the bytes the file `target` holds at `offset` now. Where the entry lies on
    // the file's own file system and that shares extents, the block-aligned middle of a large
    // range is cloned into the entry rather than read and copied; its ends are copied.
    Result<void> saveInPlace(JournalTarget target, uint64_t offset,
                             std::span<const uint8_t> newBytes, bool sync);
    // Gives the file `target` `length` bytes, having recorded its length before: undo,
    // rollback and recovery give it that length again. Bytes it adds were the edit's own from
    // the start, so writes there save nothing; bytes it cuts off are saved first. A preview
    // changes no length, but its writes see the length given.
    Result<void> resize(JournalTarget target, uint64_t length);
    // The length the edit gave `target`; nothing where it gave none.
    std::optional<uint64_t> lengthGiven(JournalTarget target) const {
        return lengths_[static_cast<size_t>(target)];
    }
    // Whether the last range saved in place was cloned.
    bool clonedLast() const { return clonedLast_; }
    Result<void> syncSaved();
    // The number of ranges saved so far, to roll back to.
    size_t mark() const { return preview_ ? previewed_.size() : ranges_.size(); }
    // Puts back every range saved since `mark`, newest first, and records that they are no
    // longer part of the edit; where the journal cannot take that record (its disk is full),
    // the entry is cut back to before them instead. When this fails, the entry is left for
    // recovery.
    Result<void> rollBackTo(size_t mark);
    // Rolls back to `mark` after `failed`, and adds to its message what became of the bytes
    // written: put back, so that `whole` was left as it was, left for the next open, or, in an
    // edit without undo, kept.
    Error rollBackAfter(Error failed, size_t mark, const std::string& whole);
    // Syncs every file the edit wrote, then records the edit as complete. An edit that
    // changed nothing leaves no entry. When the mark cannot be written the edit is rolled
    // back and the error says so.
    Result<void> complete();

private:
    JournalEdit() = default;
    Result<void> syncWrittenFiles();
    Result<void> recordRolledBack(size_t mark);
    bool changesBytes() const;
    // The part of [offset, offset + length) that held bytes before the edit added to the file:
    // only that part has old bytes to save.
    uint64_t heldBefore(JournalTarget target, uint64_t offset, uint64_t length) const;
    // Saves the bytes of `target` from `from` to `to` that a resize is about to cut off.
    Result<void> saveCutOff(JournalTarget target, uint64_t from, uint64_t to);
    // An edit whose every write was put back leaves the image as it found it, its time of
    // change included, so that the journal's last edit still describes the image.
    void keepModificationTime() const;
    // Ends an edit abandoned with nothing in effect: marked complete, or gone when its entry
    // holds no range, so that the next open finds nothing to recover.
    void settleAbandoned();
    // After the journal failed a write, forgets the ranges saved that it does not hold.
    void dropUnwrittenRanges();
    void preview(JournalTarget target, uint64_t offset, std::span<const uint8_t> oldBytes,
                 std::span<const uint8_t> newBytes);
    Result<void> saveRead(const ImageFile& file, JournalTarget target, uint64_t offset,
                          std::span<const uint8_t> newBytes, bool sync);
    // The block-aligned bytes of the range that are to be cloned, from and to; nothing when
    // the range is copied whole.
    std::optional<std::pair<uint64_t, uint64_t>> clonedMiddle(const ImageFile& file,
                                                              uint64_t offset, uint64_t length);

    int folder_ = -1;
    std::string journalFolder_;  // of an edit without undo
    int entry_ = -1;
    std::string entryPath_;
    RangeAppender appender_{-1, {}};
    JournalFiles files_;
    std::vector<SavedRange> ranges_;
    ImageIdentity before_;
    bool savedAny_ = false;
    bool completed_ = false;
    // A rollback failed: the entry is left incomplete, so it is recovered on the next open.
    bool broken_ = false;
    bool preview_ = false;
    std::vector<PreviewedRange> previewed_;
    std::unique_ptr<StagedWrites> staged_;
    std::unique_ptr<DryRunWrites> dryRun_;
    std::array<std::shared_ptr<ImageFile>, 2> opened_;  // by target
    // By target: the length the edit gave the file, and where the bytes it added begin.
    std::array<std::optional<uint64_t>, 2> lengths_;
    std::array<std::optional<uint64_t>, 2> addedFrom_;
    // Kept from one large range to the next, sparing its pages' faults.
    std::vector<uint8_t> oldBytes_;
    uint64_t cloneBlock_ = 0;    // of the entry's file system, read when first needed
    bool cloneRefused_ = false;  // once, for the rest of the edit
    bool clonedLast_ = false;
};

// Writes the old bytes of `range`, read back from the entry file `entry`, into `target` and
// syncs it; bytes beyond the file's present end are left out. A change of length is put back
// by giving the file its length before.
Result<void> restoreSavedRange(int entry, const std::string& entryPath, const SavedRange& range,
                               ImageFile& target);

}  // namespace kestrel
