#include "journal/RangeReplay.h"

#include <algorithm>

namespace kestrel {

RangeReplay::RangeReplay(const EntryFile& entry, const std::vector<SavedRange>& ranges,
                         JournalTarget target, const ImageFile& file)
    : entry_(&entry), ranges_(&ranges), file_(&file) {
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (ranges[i].target == target && !ranges[i].rolledBack && !ranges[i].resizedTo) {
            byOffset_.push_back(i);
            longest_ = std::max(longest_, ranges[i].length);
        }
    }
    std::ranges::sort(byOffset_, {}, [&](size_t i) { return ranges[i].offset; });
}

Result<ReplayedBytes> RangeReplay::before(size_t i) const {
    const SavedRange& range = (*ranges_)[i];
    ReplayedBytes replayed{std::vector<uint8_t>(range.length), 0};
    const auto read = file_->readAt(range.offset, replayed.bytes);
    if (!read) {
        return read.error();
    }
    replayed.present = *read;
    // Later ranges over these bytes are put back newest first, so each byte ends up as the
    // earliest of them saved it: they are laid on in that order, each filling only what no
    // earlier one did, until every byte is filled (an edit that wrote one record a thousand
    // times reads one range back for each, not all those after it).
    std::vector<size_t> later;
    const auto& ranges = *ranges_;
    const uint64_t reach = range.offset > longest_ ? range.offset - longest_ : 0;
    auto from =
        std::ranges::lower_bound(byOffset_, reach, {}, [&](size_t j) { return ranges[j].offset; });
    for (auto it = from; it != byOffset_.end() && ranges[*it].offset < range.end(); ++it) {
        if (*it > i && ranges[*it].end() > range.offset) {
            later.push_back(*it);
        }
    }
    if (later.empty()) {
        return replayed;
    }
    std::ranges::sort(later);
    std::vector<bool> filled(range.length, false);
    uint64_t unfilled = range.length;
    for (auto j = later.begin(); j != later.end() && unfilled > 0; ++j) {
        const SavedRange& laterRange = ranges[*j];
        const uint64_t first = std::max(range.offset, laterRange.offset) - range.offset;
        const uint64_t last = std::min(range.end(), laterRange.end()) - range.offset;
        if (std::find(filled.begin() + static_cast<ptrdiff_t>(first),
                      filled.begin() + static_cast<ptrdiff_t>(last),
                      false) == filled.begin() + static_cast<ptrdiff_t>(last)) {
            continue;
        }
        auto saved = entry_->savedBytes(laterRange);
        if (!saved) {
            return saved.error();
        }
        for (uint64_t at = first; at < last; ++at) {
            if (!filled[at]) {
                replayed.bytes[at] = (*saved)[at + range.offset - laterRange.offset];
                filled[at] = true;
                --unfilled;
            }
        }
    }
    return replayed;
}

std::optional<size_t> firstBlockRefused(const SavedRange& range, const ReplayedBytes& replayed,
                                        const std::function<bool(size_t, uint64_t)>& accepts) {
    for (size_t i = 0; i < range.blocks.size(); ++i) {
        const size_t from = i * kJournalBlockSize;
        if (from >= replayed.present) {
            return i;
        }
        const size_t count = std::min<size_t>(range.blockLength(i), replayed.present - from);
        if (!accepts(i, blockHash(std::span(replayed.bytes).subspan(from, count)))) {
            return i;
        }
    }
    return std::nullopt;
}

std::string byteSpan(const SavedRange& range, size_t first, size_t last) {
    const uint64_t from = range.offset + first * kJournalBlockSize;
    const uint64_t to = std::min(range.end(), range.offset + (last + 1) * kJournalBlockSize);
    return "bytes " + std::to_string(from) + " to " + std::to_string(to - 1);
}

}  // namespace kestrel
