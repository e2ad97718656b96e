// The only way bytes get into an image or the layer-1 copy. It writes only inside the file
// as it is now, which only growTo lengthens, saves the bytes it overwrites to the edit's undo
// journal before it writes them, checks every call, and syncs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/ImageFile.h"
#include "io/RawLayout.h"
#include "journal/JournalEdit.h"
#include "ops/SectorRewrite.h"

namespace kestrel {

class ImageWriter {
public:
    // Writes to `path` without saving anything: the tests' way to put bytes in place.
    static Result<ImageWriter> open(const std::string& path);
    // Writes to `edit`'s file `target`, saving first what is overwritten, unless the user
    // chose to make the edit without undo.
    static Result<ImageWriter> open(JournalEdit& edit, JournalTarget target);
    // Writes the user data of `edit`'s image: for a raw image, cooked offsets name its user
    // data, and every write rewrites, saves and writes the whole sectors it touches.
    static Result<ImageWriter> openUserData(JournalEdit& edit);

    const std::string& path() const { return file_->path(); }
    // The bytes this writer reaches: the file's, or a raw image's user data.
    Result<uint64_t> size() const;
    // Lengthens the image to `bytes` (of user data, for a raw image), the journal recording
    // its length before. A raw image grows by whole sectors of its track's mode, each with its
    // address and codes, so the track stays readable; that needs the track to end the file.
    Result<void> growTo(uint64_t bytes);
    Result<size_t> readAt(uint64_t offset, std::span<uint8_t> buffer) const;
    // Saves the bytes at `offset` that `newBytes` are to replace, so that writes inside them
    // need no saving of their own: one save, and one sync of the journal, for a large block.
    // Unless `sync`, the journal is synced only when the first of them is written, so that
    // the saving of the next block, or of many small files, reaches the disk with one sync.
    // Bytes inside one of the next two ranges staged before are not saved again.
    Result<void> stage(uint64_t offset, std::span<const uint8_t> newBytes, bool sync = true);
    // Drops the staged ranges: after a rollback they no longer stand for what the journal
    // keeps, so what is written there must be saved again.
    void forgetStaged() { staged_.clear(); }
    void startWriteback(uint64_t offset, uint64_t length);
    // Refuses, writing nothing, when the bytes would reach past the file's current end or
    // cannot be saved first.
    Result<void> writeAt(uint64_t offset, std::span<const uint8_t> bytes);
    Result<void> sync() { return previewsOnly() ? Result<void>() : file_->sync(); }
    // Makes the writes `staged` holds for this writer's file: saves every range they replace
    // with one sync of the journal, then writes them.
    Result<void> applyStaged(const StagedWrites& staged);
    // Syncs and closes; the bytes are on the disk when this succeeds.
    Result<void> finish();

private:
    ImageWriter(std::shared_ptr<ImageFile> file, JournalEdit* edit, JournalTarget target)
        : file_(std::move(file)), edit_(edit), target_(target) {}
    Result<void> checkInside(uint64_t offset, size_t length) const;
    Result<void> stageSectors(uint64_t offset, std::span<const uint8_t> newBytes, bool sync);
    Result<void> writeSectors(uint64_t offset, std::span<const uint8_t> bytes);
    // Writes at the file's own positions, unless the edit only previews.
    Result<void> writeFileBytes(uint64_t offset, std::span<const uint8_t> bytes);
    bool previewsOnly() const { return edit_ != nullptr && edit_->previewsOnly(); }
    // The file's length, as the edit gave it when it previews a growth it does not make.
    Result<uint64_t> fileLength() const;
    Result<void> resizeFile(uint64_t length);
    Result<void> formatGrownSectors(uint64_t fromSector, uint64_t toSector);
    // A dry run's formatted sectors, made whenever its later steps read them.
    void previewFormatted(uint64_t fromSector, uint64_t toSector,
                          const std::array<uint8_t, kRawSectorSize>& previous);

    std::shared_ptr<ImageFile> file_;
    JournalEdit* edit_;
    JournalTarget target_;
    // The ranges saved ahead of their writes, in the order they are to be written; those of
    // a raw image, whose sectors are staged two at a time, are the last two staged.
    struct Staged {
        uint64_t from = 0;
        uint64_t to = 0;
        bool synced = false;
        SectorRewrite sectors;  // for a raw image, the whole sectors saved
    };
    std::deque<Staged> staged_;
    // The next staged range, or the one after it, when it holds the bytes; writes move forward
    // through what was staged, so a range passed is dropped. A write that misses both is
    // saved again; were its bytes staged further ahead and not yet written, that second save
    // would find the file as the first did, and an undo would refuse them as changed since.
    // Callers stage in the order they write, and saving ahead stops at overlapping data.
    std::deque<Staged>::iterator findStaged(uint64_t offset, size_t length);
    // Syncs the journal unless `range` is on the disk already.
    Result<void> syncStaged(const Staged& range);
    std::optional<RawLayout> raw_;
    SectorRewrite unsaved_;  // the sectors of a write made without undo
};

}  // namespace kestrel
