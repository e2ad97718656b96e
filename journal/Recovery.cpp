// Recovery: the edits a crash cut short, put back when their image is next opened.
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>

#include "journal/Journal.h"
#include "journal/JournalFolder.h"
#include "journal/RangeReplay.h"
#include "journal/StateFolder.h"

namespace kestrel {

namespace {

std::string cutShortNote(const std::string& imagePath, const EditSummary& summary) {
    return imagePath + " was being changed by " + describeEdit(summary) + ", made " +
           madeAtText(summary.madeAt) + ", when Kestrel stopped";
}

// A range is written, and put back, from its first byte to its last, so a crash part way
// through leaves one block holding part of each side, every block before it one side and
// every block after it the other. Nothing when block `cut` is such a block, else `cut`.
std::optional<size_t> notCutShortAt(const SavedRange& range, const ReplayedBytes& bytes,
                                    size_t cut) {
    for (const bool newFirst : {true, false}) {
        const auto odd = firstBlockRefused(range, bytes, [&](size_t i, uint64_t hash) {
            const auto& block = range.blocks[i];
            return i == cut || hash == ((i < cut) == newFirst ? block.newHash : block.oldHash);
        });
        if (!odd) {
            return std::nullopt;
        }
    }
    return cut;
}

// Why the image's ranges cannot be put back, or nothing when each block holds its old or its
// new bytes, but for the one block a crash may have struck in the middle of.
Result<std::optional<std::string>> mixedBytes(const EntryFile& file,
                                              const std::vector<SavedRange>& ranges,
                                              const ImageFile& image) {
    const RangeReplay replay(file, ranges, JournalTarget::Image, image);
    bool partWritten = false;  // the crash struck inside one write at most
    for (size_t i = ranges.size(); i-- > 0;) {
        const SavedRange& range = ranges[i];
        // Bytes cut off the file's end are put back whatever is there now.
        if (range.rolledBack || range.cut || range.target != JournalTarget::Image) {
            continue;
        }
        const auto bytes = replay.before(i);
        if (!bytes) {
            return bytes.error();
        }
        auto odd = firstBlockRefused(range, *bytes, [&](size_t block, uint64_t hash) {
            return hash == range.blocks[block].oldHash || hash == range.blocks[block].newHash;
        });
        if (odd && !partWritten) {
            partWritten = true;
            odd = notCutShortAt(range, *bytes, *odd);
        }
        if (odd) {
            return std::optional(byteSpan(range, *odd, *odd) + " of " + image.path() +
                                 " hold neither what was there before nor what the edit wrote");
        }
    }
    return std::optional<std::string>();
}

}  // namespace

Result<std::string> Journal::recoverEntry(EntryFile& file, const ImageFile& heldImage) const {
    auto entry = file.read(true);
    if (!entry) {
        return entry.error();
    }
    const std::string note = cutShortNote(heldImage.path(), entry->summary);
    auto image = heldImage.writeRefusal() ? Result<ImageFile>(*heldImage.writeRefusal())
                                          : heldImage.duplicate();
    if (!image) {
        return note + ", and it could not be put back: " + image.error().message;
    }
    const auto mixed = mixedBytes(file, entry->ranges, *image);
    if (!mixed || *mixed) {
        return note +
               ", and it could not be put back: " + (mixed ? **mixed : mixed.error().message) +
               ". Nothing was written; " + file.path() + " keeps the old bytes.";
    }
    // What the crash left of a record is cut off first, so the records added now are read.
    Result<void> restored = cutEntry(file.descriptor(), file.path(), entry->wholeRecordsEnd);
    for (auto range = entry->ranges.rbegin(); restored && range != entry->ranges.rend(); ++range) {
        if (!range->rolledBack && range->target == JournalTarget::Image) {
            restored = restoreSavedRange(file.descriptor(), file.path(), *range, *image);
        }
    }
    const auto identity =
        restored ? imageIdentity(*image) : Result<ImageIdentity>(restored.error());
    if (identity) {
        restored = appendRolledBack(file.descriptor(), file.path(), 0);
    }
    if (restored && identity) {
        restored = appendComplete(file.descriptor(), file.path(), *identity);
    }
    if (!restored || !identity) {
        return note + ", and putting it back failed: " +
               (identity ? restored.error() : identity.error()).message;
    }
    return note +
           ". What it had changed was put back from the undo journal, so the image is as it "
           "was before that edit.";
}

Result<std::vector<std::string>> Journal::recover(const JournalFiles& files) const {
    std::vector<std::string> notes;
    const auto entries = entryFiles(folder_);
    if (!entries) {
        return entries.error();
    }
    // Readers look without the lock and change nothing: only an entry without its mark of
    // completion calls for the lock, and it may be one another process is writing now.
    const bool cutShort = std::ranges::any_of(*entries, [](const auto& item) {
        auto file = EntryFile::open(item.second, false);
        return file && !file->completed();
    });
    if (!cutShort) {
        return notes;
    }
    auto opened = openPrivateFolder(folderName_);
    if (!opened) {
        return opened.error();
    }
    OwnedFolder folder(*opened);
    const auto locked = tryLockFolder(folder.get(), folder_);
    if (!locked || !*locked) {
        return locked ? notes : Result<std::vector<std::string>>(locked.error());
    }
    // Under the lock no entry is being written: one without its mark was cut short.
    for (auto item = entries->rbegin(); item != entries->rend(); ++item) {
        auto file = EntryFile::open(item->second, true);
        if (!file || file->completed()) {
            continue;
        }
        if (!file->read(false) && beginCutShort(item->second)) {
            ::unlink(item->second.c_str());
            continue;
        }
        auto note = recoverEntry(*file, *files.image);
        if (note) {
            notes.push_back(*note);
        }
    }
    return notes;
}

}  // namespace kestrel
