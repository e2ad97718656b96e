// An edit made in memory first: every range it saved, with its old and its new bytes, in
// order, which its later steps read back as written. Once the whole edit
// is known, the ranges go to the journal with one sync and the bytes to the files.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "io/PendingWrites.h"
#include "journal/EntryRecords.h"

namespace kestrel {

struct StagedSave {
    JournalTarget target = JournalTarget::Image;
    uint64_t offset = 0;
    std::vector<uint8_t> oldBytes;
    std::vector<uint8_t> newBytes;
};

// The bytes a range is saved for are the ones then written over it, so the writes read back
// are the ranges' new bytes, laid in the order they were saved.
class StagedWrites {
public:
    void save(JournalTarget target, uint64_t offset, std::span<const uint8_t> oldBytes,
              std::span<const uint8_t> newBytes);
    // Forgets the ranges saved from the `mark`th on: a step that failed is not made.
    void rollBackTo(size_t mark);
    const std::vector<StagedSave>& saves() const { return saves_; }
    // The saves of `target` as ranges apart from each other, by offset, each saved and written
    // once: where several overlap, the old bytes are the earliest one's (what the file holds
    // before any of them) and the new bytes what the last one left. Saved ahead of their
    // writes, overlapping ranges would each find the file as it was before all of them.
    std::vector<StagedSave> merged(JournalTarget target) const;
    const PendingWrites& pending(JournalTarget target) const {
        return target == JournalTarget::Image ? image_ : layerCopy_;
    }

private:
    PendingWrites& pendingOf(JournalTarget target) {
        return target == JournalTarget::Image ? image_ : layerCopy_;
    }

    std::vector<StagedSave> saves_;
    PendingWrites image_;
    PendingWrites layerCopy_;
};

}  // namespace kestrel
