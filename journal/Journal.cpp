#include "journal/Journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <thread>

#include "journal/JournalFolder.h"
#include "journal/RangeReplay.h"
#include "journal/StateFolder.h"

namespace kestrel {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSetAside = ".set-aside-";
constexpr int kLockTries = 100;
constexpr std::chrono::milliseconds kLockPause{20};

Error anotherIsEditing(const std::string& imagePath) {
    return Error{ErrorKind::Changed, "Another Kestrel is editing " + imagePath +
                                         " now; try again once it has finished. Nothing "
                                         "was written"};
}

// Opens the journal's folder, creating it, and takes its lock. A reader that found an entry
// without its mark holds the lock for as long as it takes to look again, and a recovery for
// as long as it takes to put an edit back: the lock is asked for again for a while before
// another edit is taken to be under way.
Result<OwnedFolder> openLocked(const std::string& folderName, const std::string& folderPath,
                               const std::string& imagePath) {
    auto opened = openPrivateFolder(folderName);
    if (!opened) {
        return opened.error();
    }
    OwnedFolder folder(*opened);
    for (int tries = 0;; ++tries) {
        const auto locked = tryLockFolder(folder.get(), folderPath);
        if (!locked) {
            return locked.error();
        }
        if (*locked) {
            return folder;
        }
        if (tries == kLockTries) {
            return anotherIsEditing(imagePath);
        }
        std::this_thread::sleep_for(kLockPause);
    }
}

// Why the newest readable entry says the image is not the one the journal's edits left, or
// nothing when it fits; the newest entry of all is passed over when it is `ownEntry`, that of
// the edit asking. Entries a crash left without their Begin record are removed.
Result<std::optional<std::string>> misfit(const std::string& folder, const ImageIdentity& identity,
                                          const std::string& ownEntry = {}) {
    const auto entries = entryFiles(folder);
    if (!entries) {
        return entries.error();
    }
    for (auto item = entries->rbegin(); item != entries->rend(); ++item) {
        if (item->second == ownEntry) {
            continue;
        }
        auto file = EntryFile::open(item->second, false);
        auto entry = file ? file->read(false) : Result<JournalEntryFile>(file.error());
        if (!entry && beginCutShort(item->second)) {
            ::unlink(item->second.c_str());
            continue;
        }
        if (!entry) {
            return std::optional<std::string>("its newest entry cannot be read (" +
                                              entry.error().message + ")");
        }
        if (entry->complete()) {
            return entry->after->differenceFrom(identity);
        }
        if (entry->identity.size != identity.size) {
            return std::optional<std::string>(
                "its size is not that of the image the last edit began on");
        }
        return std::optional<std::string>();
    }
    return std::optional<std::string>();
}

// Refuses an undo where the file `target` no longer has the length each change of length of
// the edit left it, walking them newest first.
Result<void> lengthsLeft(const std::vector<SavedRange>& ranges, JournalTarget target,
                         const ImageFile& file, const std::string& description) {
    auto length = file.size();
    if (!length) {
        return length.error();
    }
    for (auto range = ranges.rbegin(); range != ranges.rend(); ++range) {
        if (range->rolledBack || range->target != target || !range->resizedTo) {
            continue;
        }
        if (*range->resizedTo != *length) {
            return Error{ErrorKind::Changed, "Cannot undo " + description + ": " + file.path() +
                                                 " holds " + std::to_string(*length) +
                                                 " bytes, where it left " +
                                                 std::to_string(*range->resizedTo) +
                                                 "; it was changed since. Nothing was written"};
        }
        *length = range->offset;
    }
    return {};
}

}  // namespace

Result<Journal> Journal::of(const ImageFile& image) {
    const auto identity = imageIdentity(image);
    if (!identity) {
        return identity.error();
    }
    const std::string name = std::to_string(identity->device) + "-" +
                             std::to_string(identity->inode) + "-" +
                             std::to_string(identity->birth);
    return Journal("journal/" + name, stateFolderPath("journal/" + name),
                   FileIdentity{identity->device, identity->inode});
}

Result<void> Journal::makeFit(OwnedFolder& folder, const ImageIdentity& identity,
                              const std::string& imagePath) const {
    const auto reason = misfit(folder_, identity);
    if (!reason || !*reason) {
        return reason ? Result<void>() : Result<void>(reason.error());
    }
    // Kept for whoever wants to look, never applied: its edits were made on another file.
    const std::string aside = folder_ + kSetAside + std::to_string(std::time(nullptr));
    int tries = 1;
    while (::rename(folder_.c_str(),
                    (tries == 1 ? aside : aside + "-" + std::to_string(tries)).c_str()) != 0) {
        // A journal set aside within the same second already has the name.
        if ((errno != EEXIST && errno != ENOTEMPTY) || ++tries > 100) {
            return systemError("Cannot set aside the undo journal", folder_, errno);
        }
    }
    auto fresh = openLocked(folderName_, folder_, imagePath);
    if (!fresh) {
        return fresh.error();
    }
    folder = std::move(*fresh);
    return {};
}

Result<Journal::Locked> Journal::lockFor(const ImageFile& image, bool checkFit) const {
    const std::string& imagePath = image.path();
    auto folder = openLocked(folderName_, folder_, imagePath);
    if (!folder) {
        return folder.error();
    }
    auto identity = imageIdentity(image);
    if (!identity) {
        return identity.error();
    }
    const auto named = identityAt(imagePath);
    if (!named) {
        return named.error();
    }
    if (FileIdentity{identity->device, identity->inode} != file_ || *named != file_) {
        return Error{ErrorKind::Changed, imagePath +
                                             " is no longer the file that was opened: it was "
                                             "replaced since; browse to it again"};
    }
    if (checkFit) {
        if (auto fits = makeFit(*folder, *identity, imagePath); !fits) {
            return fits.error();
        }
    }
    return Locked{std::move(*folder), *identity};
}

Result<JournalEdit> Journal::begin(EditSummary summary, JournalFiles files) const {
    // An undo looks at the fit itself, once it has named any bytes changed since.
    auto locked = lockFor(*files.image, summary.kind != EditKind::Undo);
    if (!locked) {
        return locked.error();
    }
    OwnedFolder& folder = locked->folder;
    const ImageIdentity& identity = locked->identity;
    const auto entries = entryFiles(folder_);
    if (!entries) {
        return entries.error();
    }
    const uint64_t id = entries->empty() ? 1 : entries->rbegin()->first + 1;
    const std::string path = folder_ + "/" + entryName(id);
    const int entry =
        ::openat(folder.get(), entryName(id).c_str(),
                 O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (entry < 0) {
        return systemError("Cannot create the undo journal", path, errno);
    }
    const int folderDescriptor = folder.get();
    JournalEdit edit(folder.release(), entry, path, std::move(files), identity);
    summary.madeAt = std::time(nullptr);
    if (auto begun = appendBegin(entry, path, identity, summary); !begun) {
        return begun.error();
    }
    if (::fsync(folderDescriptor) != 0) {
        return systemError("Cannot sync the undo journal folder", folder_, errno);
    }
    return edit;
}

Result<std::vector<JournalEntry>> Journal::history() const {
    const auto entries = entryFiles(folder_);
    if (!entries) {
        return entries.error();
    }
    std::vector<JournalEntry> listed;
    for (const auto& [id, path] : *entries) {
        auto file = EntryFile::open(path, false);
        if (!file) {
            return file.error();
        }
        const auto entry = file->read(false);
        if (!entry) {
            continue;  // being begun by another process, or not an entry this program wrote
        }
        std::error_code ignored;
        listed.push_back(listedEntry(id, *entry, fs::file_size(path, ignored)));
    }
    return settledHistory(std::move(listed));
}

JournalEntry listedEntry(uint64_t id, const JournalEntryFile& entry, uint64_t journalBytes) {
    using State = JournalEntry::State;
    JournalEntry listed{id, entry.summary, State::Incomplete, journalBytes};
    if (entry.complete()) {
        listed.state = entry.changedBytes() ? State::InEffect : State::RolledBack;
    }
    return listed;
}

std::vector<JournalEntry> settledHistory(std::vector<JournalEntry> history) {
    using State = JournalEntry::State;
    std::map<uint64_t, size_t> byId;
    for (size_t i = 0; i < history.size(); ++i) {
        const JournalEntry& listed = history[i];
        // An undo in effect reverts its edit; reverting an undo puts back what that undid.
        if (listed.state == State::InEffect && listed.summary.kind == EditKind::Undo) {
            if (const auto undone = byId.find(listed.summary.undoes); undone != byId.end()) {
                auto& target = history[undone->second];
                target.state = State::Undone;
                if (target.summary.kind == EditKind::Undo) {
                    if (const auto again = byId.find(target.summary.undoes);
                        again != byId.end() && history[again->second].state == State::Undone) {
                        history[again->second].state = State::InEffect;
                    }
                }
            }
        }
        byId[listed.id] = i;
    }
    return history;
}

Result<std::optional<JournalEntry>> Journal::lastUndoable() const {
    auto history = this->history();
    if (!history) {
        return history.error();
    }
    for (auto entry = history->rbegin(); entry != history->rend(); ++entry) {
        if (entry->state == JournalEntry::State::InEffect &&
            entry->summary.kind != EditKind::Undo) {
            return std::optional(*entry);
        }
    }
    return std::optional<JournalEntry>();
}

Result<std::optional<JournalEntry>> Journal::lastRedoable() const {
    auto history = this->history();
    if (!history) {
        return history.error();
    }
    std::map<uint64_t, EditKind> kinds;
    for (const auto& entry : *history) {
        kinds[entry.id] = entry.summary.kind;
    }
    for (auto entry = history->rbegin(); entry != history->rend(); ++entry) {
        if (entry->state != JournalEntry::State::InEffect) {
            continue;
        }
        if (entry->summary.kind != EditKind::Undo) {
            return std::optional<JournalEntry>();
        }
        // A redo is an undo of an undo: the undos behind it may still be redone.
        const auto undone = kinds.find(entry->summary.undoes);
        if (undone != kinds.end() && undone->second != EditKind::Undo) {
            return std::optional(*entry);
        }
    }
    return std::optional<JournalEntry>();
}

std::string Journal::nothingToUndo(const std::string& imageName) const {
    std::string text = "Nothing to undo for " + imageName;
    const auto entries = entryFiles(folder_);
    if (entries && !entries->empty()) {
        return text;
    }
    text += entries ? ": Kestrel keeps no edits of it in " + folder_
                    : ": its undo journal cannot be read (" + entries.error().message + ")";
    // The same file's journals set aside, when it no longer fitted them.
    std::vector<std::string> aside;
    const fs::path folder(folder_);
    const std::string prefix = folder.filename().string() + kSetAside;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(folder.parent_path(), error)) {
        if (item.path().filename().string().starts_with(prefix)) {
            aside.push_back(item.path().string());
        }
    }
    std::ranges::sort(aside);
    if (!aside.empty()) {
        return text + "; its earlier journal was set aside in " + aside.back() +
               " because the image no longer fitted it";
    }
    // A journal is found by the file's device, inode and birth, none of which a move to
    // another file system or a copy keeps.
    return text +
           " (an image moved to another file system, or copied, starts a journal of its "
           "own)";
}

Result<std::vector<WrittenRange>> Journal::writtenRanges(uint64_t id, uint64_t head) const {
    auto file = EntryFile::open(folder_ + "/" + entryName(id), false);
    auto entry = file ? file->read(false) : Result<JournalEntryFile>(file.error());
    if (!entry) {
        return entry.error();
    }
    std::vector<WrittenRange> written;
    for (const auto& range : entry->ranges) {
        if (range.rolledBack || range.target != JournalTarget::Image) {
            continue;
        }
        WrittenRange described{range.offset, range.length, {}};
        if (range.offset < head) {
            // Whole blocks only, so that each block read is checked against its checksum.
            SavedRange leading = range;
            const uint64_t blocks =
                (std::min(range.length, head - range.offset) + kJournalBlockSize - 1) /
                kJournalBlockSize;
            leading.blocks.resize(std::min<size_t>(leading.blocks.size(), blocks));
            leading.length = std::min(range.length, blocks * kJournalBlockSize);
            auto old = file->savedBytes(leading);
            if (!old) {
                return old.error();
            }
            described.oldHead = std::move(*old);
        }
        written.push_back(std::move(described));
    }
    return written;
}

Result<UndoableEntry> Journal::openForUndo(uint64_t id, JournalEdit& undo,
                                           const std::string& description) const {
    const JournalFiles& files = undo.files();
    auto file = EntryFile::open(folder_ + "/" + entryName(id), false);
    if (!file) {
        return file.error();
    }
    auto entry = file->read(true);
    if (!entry) {
        return entry.error();
    }
    UndoableEntry undoable{std::move(*file), std::move(*entry), {}};
    const auto& ranges = undoable.entry.ranges;
    for (const auto target : {JournalTarget::Image, JournalTarget::LayerCopy}) {
        const std::string* path = files.pathOf(target);
        if (path == nullptr) {
            continue;
        }
        auto file = undo.file(target);
        if (!file) {
            return file.error();
        }
        if (auto lengths = lengthsLeft(ranges, target, **file, description); !lengths) {
            return lengths.error();
        }
        const RangeReplay replay(undoable.file, ranges, target, **file);
        for (size_t i = ranges.size(); i-- > 0;) {
            if (ranges[i].rolledBack || ranges[i].cut || ranges[i].target != target) {
                continue;
            }
            const auto bytes = replay.before(i);
            if (!bytes) {
                return bytes.error();
            }
            const auto changed =
                firstBlockRefused(ranges[i], *bytes, [&](size_t block, uint64_t hash) {
                    return hash == ranges[i].blocks[block].newHash;
                });
            if (changed) {
                return Error{ErrorKind::Changed,
                             "Cannot undo " + description + ": " +
                                 byteSpan(ranges[i], *changed, *changed) + " of " + *path +
                                 " no longer hold what it wrote; they were changed since. "
                                 "Nothing was written"};
            }
        }
    }
    auto image = undo.file(JournalTarget::Image);
    const auto identity = image ? imageIdentity(**image) : Result<ImageIdentity>(image.error());
    const auto reason = identity ? misfit(folder_, *identity, undo.entryPath())
                                 : Result<std::optional<std::string>>(identity.error());
    if (!reason) {
        return reason.error();
    }
    if (*reason) {
        return Error{ErrorKind::Changed, "Cannot undo " + description + ": " + files.imagePath() +
                                             " was changed since Kestrel's last edit of it (" +
                                             **reason + "), so its undo journal, " + folder_ +
                                             ", no longer fits it. Nothing was written"};
    }
    for (size_t i = ranges.size(); i-- > 0;) {
        if (!ranges[i].rolledBack && files.pathOf(ranges[i].target) != nullptr) {
            undoable.order.push_back(&ranges[i]);
        }
    }
    return undoable;
}

Result<JournalEdit> Journal::beginWithoutUndo(JournalFiles files) const {
    // What it leaves is noted only in a journal that fits the image it starts on.
    auto locked = lockFor(*files.image, true);
    if (!locked && locked.error().kind == ErrorKind::Changed) {
        return locked.error();
    }
    // Without a journal to keep, the edit is made all the same, as the user asked.
    if (!locked) {
        return JournalEdit::withoutUndo(std::move(files));
    }
    return JournalEdit::withoutUndo(std::move(files), locked->folder.release(), folder_);
}

Result<JournalEdit> beginJournalEdit(const Result<Journal>& journal, bool keepUndo,
                                     const EditSummary& summary, JournalFiles files) {
    if (!keepUndo) {
        return journal ? journal->beginWithoutUndo(std::move(files))
                       : JournalEdit::withoutUndo(std::move(files));
    }
    if (!journal) {
        return Error{journal.error().kind, "Kestrel cannot keep the undo journal for " +
                                               files.imagePath() + ": " + journal.error().message +
                                               "; nothing was written"};
    }
    return journal->begin(summary, std::move(files));
}

}  // namespace kestrel
