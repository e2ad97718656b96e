#include "journal/JournalEdit.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <utility>

#include "io/ExtentClone.h"
#include "io/ImageFile.h"
#include "journal/ImageIdentity.h"
#include "journal/JournalFolder.h"
#include "journal/UndoLimits.h"

namespace kestrel {

namespace {

constexpr off_t kPruneAfterBytes = off_t{1} << 20;
// A range is cloned only where that spares a copy worth its record and padding.
constexpr uint64_t kClonedAtLeast = uint64_t{1} << 20;

}  // namespace

Result<void> restoreSavedRange(int entry, const std::string& entryPath, const SavedRange& range,
                               ImageFile& target) {
    if (range.resizedTo) {
        const auto resized = target.resize(range.offset);
        return resized ? target.sync() : resized;
    }
    auto saved = readSavedBytes(entry, entryPath, range);
    if (!saved) {
        return saved.error();
    }
    std::vector<uint8_t> present(range.length);
    const auto read = target.readAt(range.offset, present);
    if (!read) {
        return read.error();
    }
    // Only the bytes that changed are written: those a failed write never reached may lie
    // where no write can go now, past a shrunk file's end or a file size limit.
    const auto old = std::span(*saved).first(*read);
    const auto now = std::span(present).first(*read);
    for (size_t from = 0; from < old.size();) {
        const auto differ = std::ranges::mismatch(old.subspan(from), now.subspan(from));
        from = static_cast<size_t>(differ.in1 - old.begin());
        if (from == old.size()) {
            break;
        }
        size_t to = from;
        while (to < old.size() && (old[to] != now[to] || to - from < kJournalBlockSize)) {
            ++to;
        }
        while (old[to - 1] == now[to - 1]) {
            --to;
        }
        if (auto written = target.writeInside(range.offset + from, old.subspan(from, to - from));
            !written) {
            return written;
        }
        from = to;
    }
    return target.sync();
}

JournalEdit::JournalEdit(int folder, int entry, std::string entryPath, JournalFiles files,
                         const ImageIdentity& before)
    : folder_(folder),
      entry_(entry),
      entryPath_(std::move(entryPath)),
      appender_(entry, entryPath_),
      files_(std::move(files)),
      before_(before) {}

JournalEdit::JournalEdit(JournalEdit&& other) noexcept
    : folder_(std::exchange(other.folder_, -1)),
      journalFolder_(std::move(other.journalFolder_)),
      entry_(std::exchange(other.entry_, -1)),
      entryPath_(std::move(other.entryPath_)),
      appender_(std::move(other.appender_)),
      files_(std::move(other.files_)),
      ranges_(std::move(other.ranges_)),
      before_(other.before_),
      savedAny_(other.savedAny_),
      completed_(other.completed_),
      broken_(other.broken_),
      preview_(other.preview_),
      previewed_(std::move(other.previewed_)),
      staged_(std::move(other.staged_)),
      dryRun_(std::move(other.dryRun_)),
      opened_(std::move(other.opened_)),
      lengths_(other.lengths_),
      addedFrom_(other.addedFrom_),
      oldBytes_(std::move(other.oldBytes_)),
      cloneBlock_(other.cloneBlock_),
      cloneRefused_(other.cloneRefused_),
      clonedLast_(other.clonedLast_) {}

JournalEdit::~JournalEdit() {
    if (entry_ >= 0) {
        if (!completed_ && !broken_ && !changesBytes()) {
            settleAbandoned();
        }
        ::close(entry_);
    } else if (folder_ >= 0 && !journalFolder_.empty() && opened_[0]) {
        if (const auto identity = imageIdentity(*opened_[0]); identity) {
            noteImageState(journalFolder_, *identity);
        }
    }
    if (folder_ >= 0) {
        ::close(folder_);  // releases the lock
    }
}

Result<void> JournalEdit::save(JournalTarget target, uint64_t offset,
                               std::span<const uint8_t> oldBytes, std::span<const uint8_t> newBytes,
                               bool sync) {
    if (!keepsUndo()) {
        return {};
    }
    const uint64_t held = heldBefore(target, offset, oldBytes.size());
    if (held == 0) {
        return {};
    }
    oldBytes = oldBytes.first(held);
    newBytes = newBytes.first(held);
    if (preview_) {
        preview(target, offset, oldBytes, newBytes);
        if (staged_) {
            staged_->save(target, offset, oldBytes, newBytes);
        }
        return {};
    }
    if (broken_ || completed_) {
        return Error{ErrorKind::Io, "The undo journal " + entryPath_ +
                                        " no longer takes writes for this edit; nothing more "
                                        "was written"};
    }
    auto range = appender_.append(target, offset, oldBytes, newBytes, sync);
    if (!range) {
        dropUnwrittenRanges();
        return range.error();
    }
    ranges_.push_back(std::move(*range));
    savedAny_ = true;
    return {};
}

Result<void> JournalEdit::saveInPlace(JournalTarget target, uint64_t offset,
                                      std::span<const uint8_t> newBytes, bool sync) {
    clonedLast_ = false;
    newBytes = newBytes.first(heldBefore(target, offset, newBytes.size()));
    if (newBytes.empty()) {
        return {};
    }
    auto opened = file(target);
    if (!opened) {
        return opened.error();
    }
    // A dry run saves what the file held before it, which it reads past its own writes.
    if (dryRun_) {
        return saveRead(*files_.fileOf(target), target, offset, newBytes, sync);
    }
    ImageFile& file = **opened;
    const auto middle = clonedMiddle(file, offset, newBytes.size());
    if (!middle) {
        return saveRead(file, target, offset, newBytes, sync);
    }
    const auto [from, to] = *middle;
    if (from > offset) {
        if (auto head = saveRead(file, target, offset, newBytes.first(from - offset), false);
            !head) {
            return head;
        }
    }
    const bool tail = to < offset + newBytes.size();
    auto cloned = appender_.appendCloned(target, from, newBytes.subspan(from - offset, to - from),
                                         file.descriptor(), cloneBlock_, sync && !tail);
    if (!cloned) {
        dropUnwrittenRanges();
        return cloned.error();
    }
    if (!*cloned) {
        // Another file system, or one without shared extents: copied, as every range was
        // before, and the rest of the edit does not ask again.
        cloneRefused_ = true;
        return saveRead(file, target, from, newBytes.subspan(from - offset), sync);
    }
    ranges_.push_back(std::move(**cloned));
    savedAny_ = true;
    clonedLast_ = true;
    return tail ? saveRead(file, target, to, newBytes.subspan(to - offset), sync) : Result<void>();
}

uint64_t JournalEdit::heldBefore(JournalTarget target, uint64_t offset, uint64_t length) const {
    const auto& addedFrom = addedFrom_[static_cast<size_t>(target)];
    if (!addedFrom || offset + length <= *addedFrom) {
        return length;
    }
    return offset >= *addedFrom ? 0 : *addedFrom - offset;
}

Result<void> JournalEdit::resize(JournalTarget target, uint64_t length) {
    auto opened = file(target);
    if (!opened) {
        return opened.error();
    }
    const size_t slot = static_cast<size_t>(target);
    auto size = lengths_[slot] ? Result<uint64_t>(*lengths_[slot]) : (*opened)->size();
    if (!size) {
        return size.error();
    }
    if (length == *size) {
        return {};
    }
    if (!preview_) {
        if (length < *size && keepsUndo()) {
            if (auto saved = saveCutOff(target, length, *size); !saved) {
                return saved;
            }
        }
        if (entry_ >= 0) {
            auto item = appender_.appendResized(target, *size, length);
            if (!item) {
                dropUnwrittenRanges();
                return item.error();
            }
            if (length < *size) {
                markCutOff(ranges_, *item);
            }
            ranges_.push_back(std::move(*item));
            savedAny_ = true;
        }
        if (auto resized = (*opened)->resize(length); !resized) {
            return resized;
        }
    }
    lengths_[slot] = length;
    if (dryRun_) {
        dryRun_->giveLength(target, length);
    }
    if (length > *size) {
        addedFrom_[slot] = std::min(addedFrom_[slot].value_or(*size), *size);
    }
    return {};
}

Result<void> JournalEdit::saveCutOff(JournalTarget target, uint64_t from, uint64_t to) {
    // A cut range is never checked against new bytes, as none are left: zeros stand for them.
    constexpr uint64_t kPiece = uint64_t{16} << 20;
    const std::vector<uint8_t> standIn(std::min(kPiece, to - from));
    for (uint64_t at = from; at < to; at += kPiece) {
        const auto piece = std::span(standIn).first(std::min(kPiece, to - at));
        if (auto saved = saveInPlace(target, at, piece, false); !saved) {
            return saved;
        }
    }
    return {};
}

std::optional<std::pair<uint64_t, uint64_t>> JournalEdit::clonedMiddle(const ImageFile& file,
                                                                       uint64_t offset,
                                                                       uint64_t length) {
    if (entry_ < 0 || cloneRefused_ || broken_ || completed_ || length < kClonedAtLeast) {
        return std::nullopt;
    }
    if (cloneBlock_ == 0) {
        cloneBlock_ = cloneBlockSize(entry_);
        cloneRefused_ = cloneBlock_ == 0;
        if (cloneRefused_) {
            return std::nullopt;
        }
    }
    const uint64_t from = (offset + cloneBlock_ - 1) / cloneBlock_ * cloneBlock_;
    const uint64_t to = (offset + length) / cloneBlock_ * cloneBlock_;
    // A hole cloned would read as a clone the crash lost (see appendCloned); holes are
    // copied, which costs nothing, since blocks of zeros are recorded as such.
    if (to <= from || to - from < kClonedAtLeast ||
        !holdsNoHole(file.descriptor(), from, to - from)) {
        return std::nullopt;
    }
    return std::pair(from, to);
}

Result<void> JournalEdit::saveRead(const ImageFile& file, JournalTarget target, uint64_t offset,
                                   std::span<const uint8_t> newBytes, bool sync) {
    if (oldBytes_.size() < newBytes.size()) {
        oldBytes_.resize(newBytes.size());
    }
    const auto old = std::span(oldBytes_).first(newBytes.size());
    const auto read = file.readAt(offset, old);
    if (!read) {
        return read.error();
    }
    if (*read < old.size()) {
        return Error{ErrorKind::OutOfRange, file.path() + " ended at byte " +
                                                std::to_string(offset + *read) +
                                                " while its bytes were being saved for undo"};
    }
    return save(target, offset, old, newBytes, sync);
}

void JournalEdit::preview(JournalTarget target, uint64_t offset, std::span<const uint8_t> oldBytes,
                          std::span<const uint8_t> newBytes) {
    // Kept narrowed to the bytes from the first that changes to the last.
    size_t first = 0;
    while (first < oldBytes.size() && oldBytes[first] == newBytes[first]) {
        ++first;
    }
    size_t end = oldBytes.size();
    while (end > first && oldBytes[end - 1] == newBytes[end - 1]) {
        --end;
    }
    const auto start = static_cast<ptrdiff_t>(first);
    const auto shown = static_cast<ptrdiff_t>(std::min(end - first, kPreviewedBytes));
    std::vector<uint8_t> oldStart(oldBytes.begin() + start, oldBytes.begin() + start + shown);
    // A dry run's raw sectors are saved as its earlier writes left them; shown are the
    // image's bytes before it, as every other range shows (where they can be read).
    if (dryRun_ && files_.fileOf(target) != nullptr) {
        static_cast<void>(files_.fileOf(target)->readAt(offset + first, oldStart));
    }
    previewed_.push_back({target,
                          offset + first,
                          end - first,
                          std::move(oldStart),
                          {newBytes.begin() + start, newBytes.begin() + start + shown},
                          end > first});
}

Result<void> JournalEdit::syncSaved() {
    if (entry_ < 0) {
        return {};
    }
    auto synced = appender_.sync();
    if (!synced) {
        dropUnwrittenRanges();
    }
    return synced;
}

void JournalEdit::dropUnwrittenRanges() {
    // Their bytes in the image were never written: a range is on the disk before they are.
    ranges_.resize(std::min(ranges_.size(), appender_.rangesWritten()));
}

Result<void> JournalEdit::rollBackTo(size_t mark) {
    if (preview_) {
        previewed_.resize(std::min(mark, previewed_.size()));
        // A dry run's writes stay: it ends at its first failure, which nothing reads past.
        if (staged_) {
            staged_->rollBackTo(mark);
        }
        return {};
    }
    if (!keepsUndo()) {
        return Error{ErrorKind::Io, "the edit was made without undo, so what was written stays"};
    }
    // The ranges are read back from the file; those never written there were never needed.
    if (!appender_.flush()) {
        dropUnwrittenRanges();
    }
    for (size_t i = ranges_.size(); i-- > mark;) {
        if (ranges_[i].rolledBack || files_.pathOf(ranges_[i].target) == nullptr) {
            continue;
        }
        auto target = file(ranges_[i].target);
        auto restored = target ? restoreSavedRange(entry_, entryPath_, ranges_[i], **target)
                               : Result<void>(target.error());
        if (!restored) {
            broken_ = true;
            return restored;
        }
        if (ranges_[i].resizedTo) {
            const size_t slot = static_cast<size_t>(ranges_[i].target);
            lengths_[slot] = ranges_[i].offset;
            addedFrom_[slot].reset();
        }
    }
    if (auto recorded = recordRolledBack(mark); !recorded) {
        broken_ = true;
        return recorded;
    }
    return {};
}

Result<void> JournalEdit::recordRolledBack(size_t mark) {
    if (mark >= ranges_.size() && appender_.flush()) {
        return {};
    }
    if (mark < ranges_.size()) {
        if (auto recorded = appender_.appendRolledBack(mark); recorded) {
            for (size_t i = mark; i < ranges_.size(); ++i) {
                ranges_[i].rolledBack = true;
            }
            return {};
        }
    }
    // Cutting the entry back says the same as the record, and needs no room: the ranges put
    // back, and whatever a failed write left behind the last whole record, are gone.
    const uint64_t cut = mark < ranges_.size() ? ranges_[mark].recordAt : appender_.writtenEnd();
    if (auto cutBack = appender_.cutBackTo(cut); !cutBack) {
        return cutBack;
    }
    ranges_.resize(std::min(mark, ranges_.size()));
    return {};
}
Error JournalEdit::rollBackAfter(Error failed, size_t mark, const std::string& whole) {
    if (!keepsUndo()) {
        failed.message +=
            "; without undo, what was written of " + whole + " before the failure stays";
        return failed;
    }
    if (auto restored = rollBackTo(mark); restored) {
        failed.message += "; what was written was put back, so " + whole + " was left as it was";
    } else {
        failed.message += "; putting back what was written failed too (" +
                          restored.error().message + "), and is done when the image is next opened";
    }
    return failed;
}

Result<void> JournalEdit::syncWrittenFiles() {
    std::set<JournalTarget> written;
    for (const auto& range : ranges_) {
        written.insert(range.target);
    }
    for (const auto target : written) {
        if (files_.pathOf(target) == nullptr) {
            continue;
        }
        auto opened = file(target);
        if (auto synced = opened ? (*opened)->sync() : Result<void>(opened.error()); !synced) {
            return synced;
        }
    }
    return {};
}

Result<std::shared_ptr<ImageFile>> JournalEdit::file(JournalTarget target) {
    auto& opened = opened_[static_cast<size_t>(target)];
    if (!opened) {
        const ImageFile* held = files_.fileOf(target);
        if (held == nullptr) {
            return Error{ErrorKind::NotFound, "The edit has no layer-1 copy to write"};
        }
        if (!preview_ && held->writeRefusal()) {
            return *held->writeRefusal();
        }
        auto file = held->duplicate();
        if (!file) {
            return file.error();
        }
        if (staged_) {
            file->readThrough(&staged_->pending(target));
        } else if (dryRun_) {
            file->readThrough(&dryRun_->pending(target));
        }
        opened = std::make_shared<ImageFile>(std::move(*file));
    }
    return opened;
}

bool JournalEdit::changesBytes() const {
    return std::ranges::any_of(ranges_, [](const SavedRange& range) { return !range.rolledBack; });
}

void JournalEdit::keepModificationTime() const {
    if (!savedAny_ || before_.modifiedAt == 0 || !opened_[0]) {
        return;
    }
    // Best kept: without it, the journal no longer fits the image at the next edit and is set
    // aside, which loses no byte of the image.
    static_cast<void>(opened_[0]->setModifiedTime(before_.modifiedAt));
}

void JournalEdit::settleAbandoned() {
    keepModificationTime();
    if (ranges_.empty()) {
        ::unlink(entryPath_.c_str());
        return;
    }
    auto image = file(JournalTarget::Image);
    if (const auto identity = image ? imageIdentity(**image) : Result<ImageIdentity>(image.error());
        identity) {
        completed_ = static_cast<bool>(appender_.appendComplete(*identity));
    }
}

Result<void> JournalEdit::complete() {
    if (entry_ < 0 || completed_) {
        return {};
    }
    if (broken_) {
        return Error{ErrorKind::Io, "Part of the edit could not be put back; its journal " +
                                        entryPath_ +
                                        " keeps the old bytes, and they are "
                                        "restored when the image is next opened"};
    }
    if (ranges_.empty()) {
        return {};
    }
    auto synced = syncWrittenFiles();
    if (synced && !changesBytes()) {
        keepModificationTime();
    }
    auto image =
        synced ? file(JournalTarget::Image) : Result<std::shared_ptr<ImageFile>>(synced.error());
    auto identity = image ? imageIdentity(**image) : Result<ImageIdentity>(image.error());
    Result<void> recorded =
        identity ? appender_.appendComplete(*identity) : Result<void>(identity.error());
    if (!recorded) {
        return rollBackAfter(recorded.error(), 0, "the image");
    }
    completed_ = true;
    // Only an entry of some size can take the journals over their limit; record edits, which
    // save a few bytes, spare every edit a look through all journals.
    struct stat written {};
    if (::fstat(entry_, &written) == 0 && written.st_size >= kPruneAfterBytes) {
        pruneJournals(loadUndoLimits().totalBytes, entryPath_,
                      std::filesystem::path(entryPath_).parent_path().string());
    }
    return {};
}

}  // namespace kestrel
