#include "journal/OriginalImage.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <map>

#include "journal/ImageIdentity.h"

namespace kestrel {

struct OriginalImage::Entries {
    struct Held {
        size_t file = 0;
        SavedRange range;
        // Where each block's old bytes start in the entry file, zero blocks not being stored;
        // found when first needed, as most ranges are never read.
        std::vector<uint64_t> storedAt;
    };
    std::vector<std::unique_ptr<EntryFile>> files;
    std::vector<Held> ranges;  // oldest write first
};

namespace {

// Disjoint byte spans, each naming the range whose write it was; a span laid on replaces what
// lay there before.
class Painting {
public:
    void lay(uint64_t offset, uint64_t end, size_t range) {
        auto at = spans_.lower_bound(offset);
        if (at != spans_.begin()) {
            auto before = std::prev(at);
            if (before->second.end > offset) {
                if (before->second.end > end) {
                    spans_.emplace(end, before->second);
                }
                before->second.end = offset;
            }
        }
        at = spans_.lower_bound(offset);
        while (at != spans_.end() && at->first < end) {
            if (at->second.end > end) {
                spans_.emplace(end, at->second);
            }
            at = spans_.erase(at);
        }
        spans_.emplace(offset, Span{end, range});
    }
    template <class F>
    void forEach(F&& visit) const {
        for (const auto& [offset, span] : spans_) {
            visit(offset, span.end, span.range);
        }
    }

private:
    struct Span {
        uint64_t end;
        size_t range;
    };
    std::map<uint64_t, Span> spans_;
};

const char* const kNothingWritten = ". Nothing was written";

Error cannotGoBack(ErrorKind kind, uint64_t id, const std::string& edit, const std::string& why) {
    return Error{kind, "Cannot go back over edit " + std::to_string(id) +
                           (edit.empty() ? "" : " (" + edit + ")") + ": " + why + kNothingWritten};
}

// The oldest entry whose bytes are still changed: that of the oldest edit in effect, or of
// the edit an undo in effect reverted, whichever is older. An edit cut short counts, so that
// the refusal names it.
Result<uint64_t> oldestInEffect(const std::vector<JournalEntry>& history,
                                const std::string& imagePath) {
    std::map<uint64_t, const JournalEntry*> byId;
    for (const auto& entry : history) {
        byId[entry.id] = &entry;
    }
    std::optional<uint64_t> oldest;
    for (const auto& entry : history) {
        if (entry.state != JournalEntry::State::InEffect &&
            entry.state != JournalEntry::State::Incomplete) {
            continue;
        }
        uint64_t from = entry.id;
        for (const JournalEntry* at = &entry; at->summary.kind == EditKind::Undo;) {
            from = std::min(from, at->summary.undoes);
            const auto undone = byId.find(at->summary.undoes);
            if (undone == byId.end() || undone->second->id >= at->id) {
                break;
            }
            at = undone->second;
        }
        oldest = std::min(oldest.value_or(from), from);
    }
    if (!oldest) {
        return Error{ErrorKind::NotFound, "No edit of " + imagePath +
                                              " is in effect: it is as it was before the "
                                              "edits its undo journal keeps"};
    }
    return *oldest;
}

// `first`, once it is seen to be an entry the journal keeps.
Result<uint64_t> startingEntry(const std::map<uint64_t, std::string>& files,
                               const Result<uint64_t>& first, const std::string& imagePath) {
    if (!first) {
        return first;
    }
    const uint64_t oldestKept = files.begin()->first;
    const std::string kept = " (it keeps edits " + std::to_string(oldestKept) + " to " +
                             std::to_string(files.rbegin()->first) + ")";
    if (*first > 0 && *first < oldestKept) {
        return cannotGoBack(
            ErrorKind::NotFound, *first, "",
            "it was pruned from the undo journal to keep it within its limit" + kept);
    }
    if (!files.contains(*first)) {
        return Error{ErrorKind::NotFound, "The undo journal of " + imagePath +
                                              " holds no edit number " + std::to_string(*first) +
                                              kept + kNothingWritten};
    }
    return first;
}

// Why entry `id` cannot be gone back over, `previous` being what the entry before it left the
// image like: nothing when it can.
std::optional<Error> refusalOf(uint64_t id, const Result<JournalEntryFile>& entry,
                               const std::optional<ImageStateAfter>& previous) {
    if (!entry) {
        return cannotGoBack(entry.error().kind, id, "",
                            "its journal entry cannot be read (" + entry.error().message + ")");
    }
    const std::string edit = describeEdit(entry->summary);
    if (!entry->complete()) {
        return cannotGoBack(ErrorKind::Changed, id, edit,
                            "it is not complete: another Kestrel is making it now, or a crash "
                            "cut it short (opening the image puts it back)");
    }
    if (entry->completionMarks > 1) {
        return cannotGoBack(ErrorKind::Changed, id, edit,
                            "an edit made without undo after it changed bytes whose old bytes "
                            "no entry keeps");
    }
    if (previous && (previous->descriptorsHash != entry->identity.descriptorsHash ||
                     (previous->size != 0 && previous->size != entry->identity.size))) {
        return cannotGoBack(ErrorKind::Changed, id, edit,
                            "the image it began on is not the one the edit before it left");
    }
    return std::nullopt;
}

// Whether the checksums of the new bytes `range` wrote over [offset, end) are those of zeros.
bool wroteZeros(const SavedRange& range, uint64_t offset, uint64_t end) {
    // A count of all or none answers for any part of the range; the entry was read with
    // tables left out only where it is one of those.
    if (range.zeroNewBlocks == 0 || range.zeroNewBlocks == range.blockCount()) {
        return range.zeroNewBlocks != 0;
    }
    const size_t first = static_cast<size_t>((offset - range.offset) / kJournalBlockSize);
    const size_t last = static_cast<size_t>((end - 1 - range.offset) / kJournalBlockSize);
    for (size_t block = first; block <= last && block < range.blocks.size(); ++block) {
        if (range.blocks[block].newHash != zeroBlockHash(range.blockLength(block))) {
            return false;
        }
    }
    return last < range.blocks.size();
}

std::vector<uint64_t> storedOffsets(const SavedRange& range) {
    std::vector<uint64_t> at;
    at.reserve(range.blocks.size());
    uint64_t next = range.oldBytesAt;
    for (size_t i = 0; i < range.blocks.size(); ++i) {
        at.push_back(next);
        next += range.blocks[i].oldIsZero ? 0 : range.blockLength(i);
    }
    return at;
}

}  // namespace

OriginalImage::OriginalImage(OriginalImage&&) noexcept = default;
OriginalImage& OriginalImage::operator=(OriginalImage&&) noexcept = default;
OriginalImage::~OriginalImage() = default;

Result<OriginalImage> OriginalImage::rebuild(const Journal& journal, const ImageFile& image,
                                             std::optional<uint64_t> since) {
    const std::string& imagePath = image.path();
    const auto files = entryFiles(journal.folder());
    if (!files) {
        return files.error();
    }
    if (files->empty()) {
        return Error{ErrorKind::NotFound, "Kestrel keeps no edits of " + imagePath + " in " +
                                              journal.folder() + kNothingWritten};
    }
    // Every entry is read once: the history says where to start, then the entries from there
    // on are gone back over. A gigabyte's entry holds a table of half a million blocks.
    struct ReadEntry {
        uint64_t id;
        std::unique_ptr<EntryFile> file;
        Result<JournalEntryFile> entry;
    };
    std::vector<ReadEntry> read;
    std::vector<JournalEntry> listed;
    for (const auto& [id, path] : *files) {
        auto file = EntryFile::open(path, false);
        if (!file) {
            return file.error();
        }
        auto entry = file->readCounted();
        if (entry) {
            listed.push_back(listedEntry(id, *entry, 0));
        }
        read.push_back({id, std::make_unique<EntryFile>(std::move(*file)), std::move(entry)});
    }
    const auto first =
        startingEntry(*files,
                      since ? Result<uint64_t>(*since)
                            : oldestInEffect(settledHistory(std::move(listed)), imagePath),
                      imagePath);
    if (!first) {
        return first.error();
    }

    OriginalImage original;
    original.image_ = &image;
    original.entries_ = std::make_unique<Entries>();
    original.firstEntry_ = *first;
    std::optional<ImageStateAfter> previous;
    uint64_t reached = 0;  // the longest the image was made by an edit
    for (auto& [id, file, entry] : read) {
        if (id < *first) {
            continue;
        }
        if (auto refused = refusalOf(id, entry, previous)) {
            return *refused;
        }
        const std::string edit = describeEdit(entry->summary);
        if (id == *first) {
            original.size_ = entry->identity.size;
            original.descriptorsHash_ = entry->identity.descriptorsHash;
        }
        original.entries_->files.push_back(std::move(file));
        for (auto& range : entry->ranges) {
            if (range.rolledBack || range.target != JournalTarget::Image) {
                continue;
            }
            // A change of the image's length carries no bytes; what it added or cut lies past
            // the original's or the present image's end, where each is clipped below.
            if (range.resizedTo) {
                reached = std::max({reached, range.offset, *range.resizedTo});
                continue;
            }
            if (range.length == 0 ||
                range.length > std::numeric_limits<uint64_t>::max() - range.offset) {
                return cannotGoBack(ErrorKind::CorruptImage, id, edit,
                                    "its journal entry names bytes no image has");
            }
            original.entries_->ranges.push_back(
                {original.entries_->files.size() - 1, std::move(range), {}});
        }
        previous = entry->after;
        original.lastEntry_ = id;
    }

    const auto now = imageIdentity(image);
    if (!now) {
        return now.error();
    }
    if (const auto changed = previous->differenceFrom(*now)) {
        return cannotGoBack(
            ErrorKind::Changed, original.lastEntry_, "",
            imagePath + " was changed since, by another program (" + *changed + ")");
    }
    original.currentSize_ = now->size;
    const uint64_t bound = std::max({original.size_, original.currentSize_, reached});
    const auto& ranges = original.entries_->ranges;
    for (const auto& held : ranges) {
        if (held.range.end() > bound) {
            return Error{ErrorKind::CorruptImage, "The undo journal of " + imagePath +
                                                      " names bytes past the end of "
                                                      "the image, at byte " +
                                                      std::to_string(held.range.offset) +
                                                      kNothingWritten};
        }
    }

    // The new bytes' checksums stand for the image's bytes only where the last edit's mark
    // pins the image's modification time, so that no write since can have gone unseen.
    original.layOut(previous->modifiedAt != 0);
    return original;
}

void OriginalImage::layOut(bool checksumsHold) {
    const auto& ranges = entries_->ranges;
    // Laid on newest first, each byte ends with its oldest write, which saved the original;
    // laid on oldest first, with its newest, which says what the byte is now.
    Painting oldest;
    Painting newest;
    // The original's bytes end at its size, the image's at its present one.
    const auto clipped = [](Painting& painting, const SavedRange& range, uint64_t end, size_t i) {
        if (range.offset < end) {
            painting.lay(range.offset, std::min(range.end(), end), i);
        }
    };
    for (size_t i = ranges.size(); i-- > 0;) {
        clipped(oldest, ranges[i].range, size_, i);
    }
    for (size_t i = 0; i < ranges.size(); ++i) {
        clipped(newest, ranges[i].range, currentSize_, i);
    }
    oldest.forEach([&](uint64_t offset, uint64_t end, size_t range) {
        oldest_.push_back({offset, end, range});
    });
    newest.forEach([&](uint64_t offset, uint64_t end, size_t range) {
        // Bytes cut off the image's end have no new bytes: those there now were added since,
        // by an edit that kept none of what it added.
        const bool zeros = checksumsHold && !ranges[range].range.cut &&
                           wroteZeros(ranges[range].range, offset, end);
        auto& spans = changed_;
        if (!spans.empty() && spans.back().end() == offset && spans.back().zeros == zeros) {
            spans.back().length += end - offset;
        } else {
            spans.push_back({offset, end - offset, zeros});
        }
    });
}

Result<void> OriginalImage::read(uint64_t offset, std::span<uint8_t> bytes) const {
    const uint64_t end = offset + bytes.size();
    if (end > size_ || end < offset) {
        return Error{ErrorKind::OutOfRange, "The original of " + image_->path() + " has no byte " +
                                                std::to_string(end - 1)};
    }
    if (offset < currentSize_) {
        const auto present = bytes.first(static_cast<size_t>(std::min(end, currentSize_) - offset));
        const auto read = image_->readAt(offset, present);
        if (!read) {
            return read.error();
        }
        if (*read != present.size()) {
            return Error{ErrorKind::Changed, image_->path() + " ended at byte " +
                                                 std::to_string(offset + *read) +
                                                 " while it was read"};
        }
    }
    // Bytes past the image's end now are the original's only where an edit saved them.
    uint64_t filled = std::min(end, std::max(offset, currentSize_));
    auto piece = std::ranges::upper_bound(oldest_, offset, {}, &Piece::end);
    for (; piece != oldest_.end() && piece->offset < end; ++piece) {
        const uint64_t from = std::max(offset, piece->offset);
        const uint64_t to = std::min(end, piece->end);
        if (from > filled) {
            break;
        }
        const auto into =
            bytes.subspan(static_cast<size_t>(from - offset), static_cast<size_t>(to - from));
        if (auto saved = readSaved(*piece, from, into); !saved) {
            return saved;
        }
        filled = std::max(filled, to);
    }
    if (filled < end) {
        return Error{ErrorKind::CorruptImage, "The undo journal of " + image_->path() +
                                                  " does not hold the original bytes at byte " +
                                                  std::to_string(filled)};
    }
    return {};
}

Result<void> OriginalImage::readSaved(const Piece& piece, uint64_t from,
                                      std::span<uint8_t> into) const {
    auto& held = entries_->ranges[piece.range];
    const SavedRange& range = held.range;
    const auto& file = *entries_->files[held.file];
    if (range.tableUnread) {
        if (auto table = file.readTable(held.range); !table) {
            return table;
        }
    }
    if (!range.cloned && held.storedAt.empty()) {
        held.storedAt = storedOffsets(range);
    }
    // Whole blocks only, so that each block read is checked against its checksum.
    const size_t first = static_cast<size_t>((from - range.offset) / kJournalBlockSize);
    const size_t last = static_cast<size_t>(
        (from + into.size() - range.offset + kJournalBlockSize - 1) / kJournalBlockSize);
    if (last > range.blocks.size()) {
        return Error{ErrorKind::CorruptImage, "The undo journal entry " +
                                                  entries_->files[held.file]->path() +
                                                  " has fewer blocks than its range"};
    }
    SavedRange part = range;
    part.offset = range.offset + first * kJournalBlockSize;
    part.length = std::min(range.end(), range.offset + last * kJournalBlockSize) - part.offset;
    part.blocks.assign(range.blocks.begin() + static_cast<ptrdiff_t>(first),
                       range.blocks.begin() + static_cast<ptrdiff_t>(last));
    part.oldBytesAt =
        range.cloned ? range.oldBytesAt + first * kJournalBlockSize : held.storedAt[first];
    const auto saved = file.savedBytes(part);
    if (!saved) {
        return saved.error();
    }
    std::copy_n(saved->begin() + static_cast<ptrdiff_t>(from - part.offset), into.size(),
                into.begin());
    return {};
}

}  // namespace kestrel
