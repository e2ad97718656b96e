// An open image: the file the user chose, the volume presented from it (layer 0, or layer 1
// of a dual-layer image through its copy), and every read and record edit on that volume.
// The data-moving operations work from a snapshot it takes, so that they can run on another
// thread while the user goes on browsing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/DirectoryListing.h"
#include "image/DualLayer.h"
#include "image/JolietTree.h"
#include "image/RecordLookup.h"
#include "image/UdfRows.h"
#include "image/Volume.h"
#include "image/VolumeStructures.h"
#include "io/ContainerOpen.h"
#include "io/ImageFile.h"
#include "journal/Journal.h"
#include "ops/BlockTransfer.h"
#include "ops/LayerCopy.h"
#include "ops/LayerCopyClaim.h"
#include "ops/LayerCopyPath.h"
#include "ops/OperationSnapshot.h"
#include "ops/RecordPatch.h"

namespace kestrel {

class Session {
public:
    // Opens the image at `imagePath` and reads its layer-0 volume; a cue sheet or a raw .bin
    // or .img is opened through the raw sectors' user data, and the data file is the image.
    static Result<Session> open(const std::string& imagePath,
                                std::string layerCopyPath = defaultLayerCopyPath());

    const std::string& imagePath() const { return imagePath_; }
    // The image as the user named it, which messages use: the cue sheet of a raw image.
    const std::string& imageName() const { return imageName_.empty() ? imagePath_ : imageName_; }
    // The presented volume as messages name it; the layer-1 copy is private to this editor.
    std::string presentedName() const {
        return presentsLayerOne() ? "layer 1 of " + imageName() : imageName();
    }
    // Where the layer-1 copy is made: the path given to open, or, once made, where this session
    // made it (one of its own where another held that one).
    const std::string& layerCopyPath() const { return layerCopyPath_; }
    // The presented file: the image, or the layer-1 copy.
    const std::string& presentedPath() const {
        return presentsLayerOne() ? layerCopyPath_ : imagePath_;
    }
    // What the presented volume is read from: the image's user data, or the layer-1 copy.
    const ImageSource& presentedSource() const { return *presented_; }
    // The presented volume; without directories when layer 1 could not be read.
    const Volume& volume() const { return volume_; }
    bool presentsLayerOne() const { return layerOne_; }
    bool hasLayerOneCopy() const { return layerCopyMade_; }
    uint64_t layer0Bytes() const { return layer0Bytes_; }
    // Bytes to add to an extent's LBA x 2048 to find its data in the image.
    uint64_t layerOffset() const { return presentsLayerOne() ? layerOneStart() : 0; }

    // A CD-ROM XA image of the fixed layout has one volume; every other image may have two.
    bool mayHaveSecondLayer() const { return volume_.layout != LayoutKind::Fixed || volume_.isDvd; }
    // Whether a second volume follows layer 0 and, for a dual-layer image, makes the layer-1
    // copy: the start of layer 1, as far as the data of layer 0's first root record. The copy
    // is this session's alone (see LayerCopyClaim) while it or an operation it started runs.
    DualLayerCheck checkDualLayer();
    // Presents the other volume. When it cannot be read, it is presented without directories
    // and the error says why.
    Result<void> switchLayers();

    // Why sectors cannot be added at the presented volume's end for a reason outside the
    // volume: the data track of a raw image that other tracks follow. Nothing when nothing
    // outside it forbids that.
    std::optional<std::string> endFixed() const;
    // The image's user data on a handle of its own, read as the presented volume is (a staged
    // or dry-run edit's writes and growth included): what placing new data reads, also on
    // layer 1, whose copy ends long before its volume does.
    Result<std::unique_ptr<ImageSource>> imageData() const;

    // Directory 0, a number the volume does not have, and a repeat of an earlier directory
    // (PathTableDirectory::sameAs) list as empty.
    Result<DirectoryListing> listDirectory(DirectoryNumber directory);
    Result<RecordLocation> findRecord(DirectoryNumber directory, const std::string& rowName) const;
    // Starts an edit of the image in its undo journal; the edit is made without undo when
    // `keepUndo` is false.
    Result<JournalEdit> beginEdit(const EditSummary& summary, bool keepUndo = true) const;
    // The same, keeping every range it would save, to be committed whole; see readThrough.
    JournalEdit stagingEdit() const { return JournalEdit::staging(journalFiles()); }
    // An edit of the same files that writes nothing, keeps what it would write and reads it
    // back; see readThrough.
    JournalEdit dryRunEdit() const { return JournalEdit::dryRun(journalFiles()); }
    // While an edit is staged, the presented volume is read as it would be with the staged
    // writes made, so that each step sees the ones before it; nullptr ends that.
    void readThrough(const StagedWrites* staged);
    // The same for a dry run, whose growth of the image is read too: the edits after one find
    // the volume at its new size. readThrough(nullptr) ends it too; forgetReadStructures then
    // reads the volume again as the image holds it.
    void readThrough(const DryRunWrites& written);
    // Rewrites the record at `location`, found in `directory`, and its twin in the Joliet
    // tree; on layer 1 in the image and in the copy. When a write fails, what this call wrote
    // is put back before the error is returned.
    Result<PatchOutcome> patchRecord(JournalEdit& edit, DirectoryNumber directory,
                                     const RecordLocation& location, const RecordFields& fields);
    // The records patchRecord would write for the record at `location`, found now, so that
    // another thread can write them.
    Result<RecordTargets> recordTargets(DirectoryNumber directory, const RecordLocation& location);
    // The files an edit of this image writes, as the session holds them open.
    JournalFiles journalFiles() const;
    // What a crash cut short and the open put back, one note per edit.
    const std::vector<std::string>& recoveryNotes() const { return recoveryNotes_; }
    // The image's undo journal; an error says why the image cannot be edited with undo.
    const Result<Journal>& journal() const { return journal_; }
    // Reverts entry `id` of the journal (on layer 1 in the copy too) and reads the presented
    // volume's Joliet tree again on next use.
    Result<void> undo(uint64_t id);
    // The same in two steps, so that the reverting can run on another thread while the user
    // browses: the task works only on what it holds, and forgetReadStructures, back on the
    // session's thread, has the volume's structures read again, and the volume itself where
    // an edit changed the image's length (a raw image's data track that ends it grows or
    // shrinks with it).
    Result<std::function<Result<void>(OperationObserver*)>> undoTask(uint64_t id) const;
    void forgetReadStructures();
    // Where directory `directory`'s records lie in the presented volume.
    DirectoryPlace directoryPlace(DirectoryNumber directory) const;
    // The Joliet directory that holds what `directory` holds: the one that shares the most
    // files' extents with it, or for one without files, the subdirectory of its parent's
    // counterpart that has its name; none without a Joliet tree, or when none is found.
    Result<std::optional<size_t>> jolietDirectoryOf(DirectoryNumber directory);
    // The Joliet tree of the presented volume, read on first use; nothing without one.
    Result<const JolietTree*> jolietTree();
    // The UDF file system of a bridge image, read on first use; nothing without one.
    Result<const UdfView*> udfView();
    // The UDF entry of a bridge image whose data is that of the file at `location`, one run of
    // sectors; why there is none, otherwise.
    Result<UdfTwin> udfTwinOfRecords(const RecordLocation& location);
    // The presented volume's own structures, read on first use; nothing when they cannot be.
    std::shared_ptr<const VolumeStructures> structures() const;
    // Finds each row's record in one walk; a row whose record cannot be found carries why.
    OperationSnapshot snapshot(DirectoryNumber directory,
                               const std::vector<std::string>& rowNames) const;

    // The UDF directory of a bridge image that holds what `directory` holds: the one that
    // holds the most of its files' data, or for one without files, the subdirectory of its
    // parent's counterpart that has its name; none when none is found.
    Result<const UdfDirectory*> udfDirectoryOf(DirectoryNumber directory);

    // The image's UDF file system (all a volume of UDF alone has), read on first use and
    // again after an edit.
    Result<const UdfFileSystem*> udfFileSystem() const;
    // Its directory `directory`; nothing when the file system no longer has it.
    Result<const UdfDirectory*> udfDirectory(DirectoryNumber directory) const;

private:
    Session(ImageContainer container, std::shared_ptr<const ImageFile> image,
            std::string layerCopyPath, std::unique_ptr<ImageSource> presented, Volume volume,
            Result<Journal> journal);

    // Where layer 1's volume starts in the image.
    uint64_t layerOneStart() const { return layer0Bytes_ - kLayerOneLead; }
    bool hasDirectory(DirectoryNumber directory) const;
    Result<RecordTargets> udfRecordTargets(DirectoryNumber directory,
                                           const RecordLocation& location) const;
    // Refuses when the presented path no longer names the file that was opened: one removed
    // or replaced since would otherwise be read from the old file, and written in the new.
    Result<void> requireSameFile() const;
    // The bytes of file data the image holds from the presented volume's LBA 0, where a file's
    // chain of extents is broken; no end when the image's size cannot be read, as the
    // operations read it again.
    uint64_t dataEnd() const;
    void followImageLength();
    // Reads layer 1's volume again from its copy, where an edit gave it another size.
    void followLayerOneSize();
    // Reads from now on see `image` laid over the image and `layerCopy` over the copy.
    void readThroughPending(const PendingWrites* image, const PendingWrites* layerCopy);
    // The image's length as the reads see it: a dry run's growth included.
    Result<uint64_t> imageLength() const;

    std::string imagePath_;
    std::string imageName_;  // empty when the data file is what the user chose
    // The image, opened once for update: every read and write of it goes through this open
    // file, whatever its path names later. The layer-1 copy is held the same way once made.
    std::shared_ptr<const ImageFile> image_;
    std::shared_ptr<const ImageFile> layerCopy_;
    std::string layerCopyPath_;
    std::optional<LayerCopyClaim> layerCopyClaim_;
    std::optional<RawLayout> imageLayout_;
    std::unique_ptr<ImageSource> presented_;
    Volume volume_;
    std::optional<JolietTree> joliet_;
    std::optional<UdfView> udf_;
    mutable std::optional<UdfFileSystem> udfOnly_;
    mutable std::shared_ptr<const VolumeStructures> structures_;
    Result<Journal> journal_;
    std::vector<std::string> recoveryNotes_;
    uint64_t layer0Bytes_ = 0;
    bool layerOne_ = false;
    bool layerCopyMade_ = false;
    // Whether a raw image's data track runs to the file's end, so that it follows its length.
    bool trackEndsImage_ = false;
    // What the reads see laid over the image and the copy while an edit is staged or dry-run.
    const PendingWrites* imagePending_ = nullptr;
    const PendingWrites* layerCopyPending_ = nullptr;
};

}  // namespace kestrel
