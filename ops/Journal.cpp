#include "ops/Journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>

#include "image/IsoLayout.h"
#include "ops/ImageWriter.h"
#include "ops/StateFolder.h"

namespace kestrel {

namespace {

namespace fs = std::filesystem;

constexpr const char* kEntrySuffix = ".edit";

// The entry files of a journal folder by number; a folder that does not exist has none.
std::map<uint64_t, std::string> entryFiles(const std::string& folder) {
    std::map<uint64_t, std::string> entries;
    std::error_code error;
    for (const auto& item : fs::directory_iterator(folder, error)) {
        const std::string name = item.path().filename().string();
        const auto digits = name.size() - std::string_view(kEntrySuffix).size();
        if (name.size() > std::string_view(kEntrySuffix).size() && name.ends_with(kEntrySuffix) &&
            digits <= 18 &&
            std::all_of(name.begin(), name.begin() + static_cast<ptrdiff_t>(digits),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            entries[std::stoull(name.substr(0, digits))] = item.path().string();
        }
    }
    return entries;
}

std::string entryName(uint64_t id) {
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "%06llu%s", static_cast<unsigned long long>(id),
                  kEntrySuffix);
    return name.data();
}

class OwnedDescriptor {
public:
    explicit OwnedDescriptor(int descriptor) : descriptor_(descriptor) {}
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;
    ~OwnedDescriptor() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    int release() { return std::exchange(descriptor_, -1); }

private:
    int descriptor_;
};

// An entry file, open for reading and, for recovery, appending.
class EntryFile {
public:
    static Result<EntryFile> open(const std::string& path, bool forAppending) {
        const int descriptor = ::open(
            path.c_str(), (forAppending ? O_RDWR | O_APPEND : O_RDONLY) | O_NOFOLLOW | O_CLOEXEC);
        if (descriptor < 0) {
            return systemError("Cannot open the undo journal", path, errno);
        }
        return EntryFile(descriptor, path);
    }
    EntryFile(EntryFile&& other) noexcept
        : descriptor_(std::exchange(other.descriptor_, -1)), path_(std::move(other.path_)) {}
    EntryFile& operator=(EntryFile&&) = delete;
    ~EntryFile() {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
    }
    int descriptor() const { return descriptor_; }
    const std::string& path() const { return path_; }
    Result<JournalEntryFile> read(bool checkRanges) const {
        return readJournalEntry(descriptor_, path_, checkRanges);
    }
    // Read from the entry's last bytes alone; an entry that cannot be read counts as complete,
    // since nothing of it can be applied.
    bool completed() const {
        const auto mark = readCompletionMark(descriptor_, path_);
        return !mark || mark->has_value();
    }

private:
    EntryFile(int descriptor, std::string path) : descriptor_(descriptor), path_(std::move(path)) {}
    int descriptor_;
    std::string path_;
};

std::string byteSpan(const SavedRange& range, size_t firstBlock, size_t lastBlock) {
    const uint64_t from = range.offset + firstBlock * kJournalBlockSize;
    const uint64_t to =
        std::min(range.offset + range.length, range.offset + (lastBlock + 1) * kJournalBlockSize);
    return "bytes " + std::to_string(from) + " to " + std::to_string(to - 1);
}

// The first block of `range` in the file at `path` whose checksum `accepts` refuses, given the
// block's place in the range; the range as far as the file reaches is compared.
Result<std::optional<size_t>> firstBlockNotAccepted(
    const std::string& path, const SavedRange& range,
    const std::function<bool(size_t, uint64_t)>& accepts) {
    auto file = ImageFile::openForReading(path);
    if (!file) {
        return file.error();
    }
    std::vector<uint8_t> bytes(range.length);
    auto read = file->readAt(range.offset, bytes);
    if (!read) {
        return read.error();
    }
    for (size_t i = 0; i < range.blocks.size(); ++i) {
        const size_t from = i * kJournalBlockSize;
        const size_t count = std::min<size_t>(kJournalBlockSize, bytes.size() - from);
        if (from >= *read ||
            !accepts(i, blockHash(std::span(bytes).subspan(from, std::min(count, *read - from))))) {
            return std::optional(i);
        }
    }
    return std::optional<size_t>();
}

// A range is written, and put back, from its first byte to its last, so a crash part way
// through leaves one block holding part of each side, every block before it one side and
// every block after it the other. Nothing when block `cut` is such a block, else `cut`.
Result<std::optional<size_t>> notCutShortAt(const std::string& path, const SavedRange& range,
                                            size_t cut) {
    for (const bool newFirst : {true, false}) {
        const auto odd = firstBlockNotAccepted(path, range, [&](size_t i, uint64_t hash) {
            const auto& block = range.blocks[i];
            return i == cut || hash == ((i < cut) == newFirst ? block.newHash : block.oldHash);
        });
        if (!odd || !*odd) {
            return odd;
        }
    }
    return std::optional(cut);
}

Result<void> lockFolder(int folder, const std::string& imagePath) {
    if (::flock(folder, LOCK_EX | LOCK_NB) == 0) {
        return {};
    }
    return errno == EWOULDBLOCK
               ? Error{ErrorKind::Changed, "Another Kestrel is editing " + imagePath +
                                               " now; try again once it has finished. Nothing "
                                               "was written"}
               : systemError("Cannot lock the undo journal of", imagePath, errno);
}

std::string cutShortNote(const std::string& imagePath, const EditSummary& summary) {
    return imagePath + " was being changed by " + describeEdit(summary) + ", made " +
           madeAtText(summary.madeAt) + ", when Kestrel stopped";
}

}  // namespace

Result<ImageIdentity> imageIdentity(const std::string& imagePath) {
    auto image = ImageFile::openForReading(imagePath);
    if (!image) {
        return image.error();
    }
    const auto file = image->identity();
    const auto size = image->size();
    if (!file || !size) {
        return file ? size.error() : file.error();
    }
    XXH3_state_t* state = XXH3_createState();
    XXH3_64bits_reset(state);
    std::array<uint8_t, kSectorSize> sector{};
    for (uint64_t i = 0; i < kMostDescriptorSectors; ++i) {
        const auto read = image->readAt(kDescriptorsOffset + i * kSectorSize, sector);
        if (!read || *read < sector.size()) {
            break;
        }
        XXH3_64bits_update(state, sector.data(), sector.size());
        if (sector[0] == kTerminatorType) {
            break;
        }
    }
    const uint64_t hash = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    struct statx made {};
    uint64_t birth = 0;
    if (::statx(AT_FDCWD, imagePath.c_str(), 0, STATX_BTIME, &made) == 0 &&
        (made.stx_mask & STATX_BTIME) != 0) {
        birth =
            static_cast<uint64_t>(made.stx_btime.tv_sec) * 1'000'000'000 + made.stx_btime.tv_nsec;
    }
    return ImageIdentity{file->device, file->inode, birth, *size, hash};
}

Result<Journal> Journal::of(const std::string& imagePath) {
    const auto identity = imageIdentity(imagePath);
    if (!identity) {
        return identity.error();
    }
    const std::string name = std::to_string(identity->device) + "-" +
                             std::to_string(identity->inode) + "-" +
                             std::to_string(identity->birth);
    Journal journal("journal/" + name, stateFolderPath("journal/" + name),
                    FileIdentity{identity->device, identity->inode});
    // The newest entry says what the image looked like when it was last edited.
    const auto entries = entryFiles(journal.folder_);
    if (entries.empty()) {
        return journal;
    }
    auto newest = EntryFile::open(entries.rbegin()->second, false);
    auto entry = newest ? newest->read(false) : Result<JournalEntryFile>(newest.error());
    bool fits = entry && entry->identity.size == identity->size;
    if (fits && entry->complete()) {
        fits = *entry->descriptorsHashAfter == identity->descriptorsHash;
    }
    if (!fits) {
        std::error_code ignored;
        fs::rename(journal.folder_,
                   journal.folder_ + ".set-aside-" + std::to_string(std::time(nullptr)), ignored);
    }
    return journal;
}

Result<JournalEdit> Journal::begin(EditSummary summary, JournalFiles files) const {
    auto folder = openPrivateFolder(folderName_);
    if (!folder) {
        return folder.error();
    }
    OwnedDescriptor owned(*folder);
    if (auto locked = lockFolder(*folder, files.imagePath); !locked) {
        return locked.error();
    }
    const auto identity = imageIdentity(files.imagePath);
    if (!identity) {
        return identity.error();
    }
    if (FileIdentity{identity->device, identity->inode} != file_) {
        return Error{ErrorKind::Changed, files.imagePath +
                                             " is no longer the file that was opened: it was "
                                             "replaced since; browse to it again"};
    }
    const auto entries = entryFiles(folder_);
    const uint64_t id = entries.empty() ? 1 : entries.rbegin()->first + 1;
    const std::string path = folder_ + "/" + entryName(id);
    const int entry =
        ::openat(*folder, entryName(id).c_str(),
                 O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (entry < 0) {
        return systemError("Cannot create the undo journal", path, errno);
    }
    JournalEdit edit(owned.release(), entry, path, std::move(files));
    summary.madeAt = std::time(nullptr);
    if (auto begun = appendBegin(entry, path, *identity, summary); !begun) {
        return begun.error();
    }
    if (::fsync(*folder) != 0) {
        return systemError("Cannot sync the undo journal folder", folder_, errno);
    }
    return edit;
}

Result<std::vector<JournalEntry>> Journal::history() const {
    using State = JournalEntry::State;
    std::vector<JournalEntry> history;
    std::map<uint64_t, size_t> byId;
    for (const auto& [id, path] : entryFiles(folder_)) {
        auto file = EntryFile::open(path, false);
        if (!file) {
            return file.error();
        }
        const auto entry = file->read(false);
        if (!entry) {
            continue;  // not an entry this program wrote; it is never applied
        }
        std::error_code ignored;
        JournalEntry listed{id, entry->summary, State::Incomplete, fs::file_size(path, ignored)};
        if (entry->complete()) {
            listed.state = entry->changedBytes() ? State::InEffect : State::RolledBack;
        }
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
        byId[id] = history.size();
        history.push_back(std::move(listed));
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

Result<std::vector<std::string>> Journal::recover(const JournalFiles& files) const {
    std::vector<std::string> notes;
    const auto entries = entryFiles(folder_);
    if (entries.empty()) {
        return notes;
    }
    auto folder = openPrivateFolder(folderName_);
    if (!folder) {
        return folder.error();
    }
    OwnedDescriptor owned(*folder);
    // An edit another process is making now was not cut short.
    if (::flock(*folder, LOCK_EX | LOCK_NB) != 0) {
        return notes;
    }
    for (auto item = entries.rbegin(); item != entries.rend(); ++item) {
        auto file = EntryFile::open(item->second, true);
        if (!file || file->completed()) {
            continue;
        }
        auto entry = file->read(true);
        if (!entry || entry->complete()) {
            continue;
        }
        const std::string note = cutShortNote(files.imagePath, entry->summary);
        std::optional<std::string> mixed;
        bool partWritten = false;  // the crash struck inside one write at most
        for (const auto& range : entry->ranges) {
            if (range.reverted || range.target != JournalTarget::Image || mixed) {
                continue;
            }
            auto odd = firstBlockNotAccepted(files.imagePath, range, [&](size_t i, uint64_t hash) {
                return hash == range.blocks[i].oldHash || hash == range.blocks[i].newHash;
            });
            if (odd && *odd && !partWritten) {
                partWritten = true;
                odd = notCutShortAt(files.imagePath, range, **odd);
            }
            if (!odd) {
                mixed = odd.error().message;
            } else if (*odd) {
                mixed = byteSpan(range, **odd, **odd) + " of " + files.imagePath +
                        " hold neither what was there before nor what the edit wrote";
            }
        }
        if (mixed) {
            notes.push_back(note + ", and it could not be put back: " + *mixed +
                            ". Nothing was written; " + file->path() + " keeps the old bytes.");
            continue;
        }
        Result<void> restored;
        for (auto range = entry->ranges.rbegin(); restored && range != entry->ranges.rend();
             ++range) {
            if (!range->reverted && range->target == JournalTarget::Image) {
                restored =
                    restoreSavedRange(file->descriptor(), file->path(), *range, files.imagePath);
            }
        }
        const auto identity =
            restored ? imageIdentity(files.imagePath) : Result<ImageIdentity>(restored.error());
        if (identity) {
            restored = appendReverted(file->descriptor(), file->path(), 0);
        }
        if (restored && identity) {
            restored = appendComplete(file->descriptor(), file->path(), identity->descriptorsHash);
        }
        if (!restored || !identity) {
            notes.push_back(note + ", and putting it back failed: " +
                            (identity ? restored.error() : identity.error()).message);
            continue;
        }
        notes.push_back(note +
                        ". What it had changed was put back from the undo journal, so "
                        "the image is as it was before that edit.");
    }
    return notes;
}

Result<void> Journal::undo(uint64_t id, const JournalFiles& files) const {
    using State = JournalEntry::State;
    const auto history = this->history();
    if (!history) {
        return history.error();
    }
    const auto listed = std::ranges::find(*history, id, &JournalEntry::id);
    if (listed == history->end()) {
        return Error{ErrorKind::NotFound, "The undo journal of " + files.imagePath +
                                              " holds no edit number " + std::to_string(id)};
    }
    const std::string description = describeEdit(listed->summary);
    if (listed->state != State::InEffect) {
        return Error{ErrorKind::Changed,
                     description + " cannot be undone: " +
                         (listed->state == State::Undone       ? "it was undone already"
                          : listed->state == State::RolledBack ? "it was put back when it failed"
                                                               : "it was never completed")};
    }
    auto edit = begin(
        {EditKind::Undo, listed->summary.fileCount, listed->summary.dataBytes, description, 0, id},
        files);
    if (!edit) {
        return edit.error();
    }
    auto file = EntryFile::open(folder_ + "/" + entryName(id), false);
    auto entry = file ? file->read(true) : Result<JournalEntryFile>(file.error());
    if (!entry) {
        return entry.error();
    }
    std::vector<const SavedRange*> ranges;
    for (const auto& range : entry->ranges) {
        const std::string* path = files.pathOf(range.target);
        if (range.reverted || path == nullptr) {
            continue;
        }
        const auto changed = firstBlockNotAccepted(
            *path, range, [&](size_t i, uint64_t hash) { return hash == range.blocks[i].newHash; });
        if (!changed) {
            return changed.error();
        }
        if (*changed) {
            return Error{ErrorKind::Changed, "Cannot undo " + description + ": " +
                                                 byteSpan(range, **changed, **changed) + " of " +
                                                 *path +
                                                 " no longer hold what it wrote; they were changed "
                                                 "since. Nothing was written"};
        }
        ranges.push_back(&range);
    }
    for (auto range = ranges.rbegin(); range != ranges.rend(); ++range) {
        const std::string& path = *files.pathOf((*range)->target);
        auto saved = readSavedBytes(file->descriptor(), file->path(), **range);
        auto writer = saved ? ImageWriter::open(path, &*edit, (*range)->target)
                            : Result<ImageWriter>(saved.error());
        Result<void> written =
            writer ? writer->writeAt((*range)->offset, *saved) : Result<void>(writer.error());
        if (written) {
            written = writer->finish();
        }
        if (!written) {
            return edit->putBackAfter(written.error(), 0, "the image");
        }
    }
    return edit->complete();
}

Result<JournalEdit> beginJournalEdit(const Result<Journal>& journal, bool keepUndo,
                                     const EditSummary& summary, JournalFiles files) {
    if (!keepUndo) {
        return JournalEdit::withoutUndo(std::move(files));
    }
    if (!journal) {
        return Error{journal.error().kind, "Kestrel cannot keep the undo journal for " +
                                               files.imagePath + ": " + journal.error().message +
                                               "; nothing was written"};
    }
    return journal->begin(summary, std::move(files));
}

void pruneJournals(uint64_t totalBytes, const std::string& keep) {
    struct Held {
        fs::file_time_type written;
        uint64_t bytes;
        fs::path path;
    };
    std::vector<Held> held;
    uint64_t total = 0;
    std::error_code error;
    for (const auto& folder : fs::directory_iterator(stateFolderPath("journal"), error)) {
        if (!folder.is_directory(error) || folder.is_symlink(error)) {
            continue;
        }
        for (const auto& [id, path] : entryFiles(folder.path().string())) {
            std::error_code ignored;
            const uint64_t bytes = fs::file_size(path, ignored);
            total += bytes;
            held.push_back({fs::last_write_time(path, ignored), bytes, path});
        }
    }
    std::ranges::sort(held, {}, &Held::written);
    for (const auto& entry : held) {
        if (total <= totalBytes) {
            break;
        }
        if (entry.path == keep) {
            continue;
        }
        // An entry cut short keeps the only copy of what its image lost.
        if (auto file = EntryFile::open(entry.path, false); file && !file->completed()) {
            continue;
        }
        std::error_code ignored;
        if (fs::remove(entry.path, ignored)) {
            total -= entry.bytes;
        }
    }
}

}  // namespace kestrel
