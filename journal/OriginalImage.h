// The image as it was before a chosen edit, rebuilt from its undo journal rather than kept:
// every entry from the newest down to the chosen one is reverted, newest first, in memory and
// only over the bytes the entries wrote, from the old bytes each saved. Undos are edits like
// the others. The image itself is only read.
//
// This is what a patch of the edits is made from: which bytes changed, what they held, and,
// from the new bytes' checksums, which of them are now zeros, all without reading the bytes
// the edits left alone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "io/ImageFile.h"
#include "journal/Journal.h"

namespace kestrel {

// Bytes of the image that an edit since the chosen one wrote. `zeros`: the journal's
// checksums of what the newest of those writes left say they are all zero now.
struct ChangedSpan {
    uint64_t offset = 0;
    uint64_t length = 0;
    bool zeros = false;

    uint64_t end() const { return offset + length; }
};

class OriginalImage {
public:
    // The image before entry `since` of `journal`, or without it before the oldest edit in
    // effect (an undo in effect counting from the edit it reverted). Refused, naming the first
    // edit that cannot be gone back over, where the journal cannot give the old bytes: an
    // entry cut short or unreadable, one pruned or never made, an edit made without undo
    // since, or the image changed by another program since the last edit.
    static Result<OriginalImage> rebuild(const Journal& journal, const ImageFile& image,
                                         std::optional<uint64_t> since);

    OriginalImage(OriginalImage&&) noexcept;
    OriginalImage& operator=(OriginalImage&&) noexcept;
    ~OriginalImage();

    // The size the image had before the first edit gone back over.
    uint64_t size() const { return size_; }
    uint64_t currentSize() const { return currentSize_; }
    // The checksum of its volume descriptors, as the journal keeps it (see ImageIdentity).
    uint64_t descriptorsHash() const { return descriptorsHash_; }
    // The entries gone back over, oldest and newest.
    uint64_t firstEntry() const { return firstEntry_; }
    uint64_t lastEntry() const { return lastEntry_; }
    // Every byte the edits since wrote, in order, none overlapping; outside them the original
    // and the current image are the same bytes.
    const std::vector<ChangedSpan>& changed() const { return changed_; }
    // The original bytes at `offset`, which must lie inside size().
    Result<void> read(uint64_t offset, std::span<uint8_t> bytes) const;

private:
    struct Entries;
    struct Piece {
        uint64_t offset = 0;
        uint64_t end = 0;
        size_t range = 0;  // of Entries::ranges
    };

    OriginalImage() = default;
    // Finds each changed byte's oldest and newest write; the newest says a byte is zero only
    // when `checksumsHold`.
    void layOut(bool checksumsHold);
    Result<void> readSaved(const Piece& piece, uint64_t from, std::span<uint8_t> into) const;

    const ImageFile* image_ = nullptr;
    std::unique_ptr<Entries> entries_;
    std::vector<Piece> oldest_;  // each changed byte's oldest write, which saved the original
    std::vector<ChangedSpan> changed_;
    uint64_t size_ = 0;
    uint64_t currentSize_ = 0;
    uint64_t descriptorsHash_ = 0;
    uint64_t firstEntry_ = 0;
    uint64_t lastEntry_ = 0;
};

}  // namespace kestrel
