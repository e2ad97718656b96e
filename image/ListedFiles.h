// The files a directory lists: a record without flags is one file, and so is a chain of
// records of one identifier, every one but the last carrying the multi-extent flag, as ISO
// 9660 level 3 stores a file of 4 GiB or more. Listing, finding a row's record again and
// taking a snapshot for an operation all group records by these rules, so they agree on
// what each row is.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/DirectoryWalk.h"

namespace kestrel {

// No extent is taken to lie past the end of the image.
inline constexpr uint64_t kNoDataEnd = std::numeric_limits<uint64_t>::max();

// A listed file as the walk meets it. Valid during the visit only.
struct ListedRecords {
    RecordView first;                 // its first record, where it lies
    std::span<const Extent> extents;  // every extent of its data that is read, in order
    bool chained = false;             // its records carry the multi-extent flag
    // Why its chain of records ends before its last extent, so that only the extents before
    // the break are read; empty when the chain is whole.
    std::string_view brokenChain;

    // The bytes its extents hold together.
    uint64_t size() const;
};

// Groups the records of one directory, fed in the order the walk meets them, into listed
// files. A chain is broken where a flagged record is followed by no record of its name (the
// directory ends, or another file's record comes next), and where an extent after the first
// reaches past `dataEnd`, the bytes the image holds from LBA 0: the file is then its extents
// before that one. A first extent is always kept, as a file of one record is, wherever it lies.
class ListedFileChains {
public:
    using Visit = std::function<WalkStep(const ListedRecords&)>;

    ListedFileChains(uint64_t dataEnd, Visit visit);

    // The next record of the directory; Stop once a visit asked to stop.
    WalkStep add(const RecordView& record);
    // The walk ended: a chain still waiting for its next record is visited as broken.
    void finish();

private:
    WalkStep visitFile(const RecordView& first, std::span<const Extent> extents, bool chained,
                       std::string_view brokenChain);
    WalkStep visitPending(std::string_view brokenChain);
    bool pastDataEnd(const Extent& extent) const;

    uint64_t dataEnd_;
    Visit visit_;
    bool stopped_ = false;
    // The chain being read: its first record's bytes and offset, its extents, the records of
    // it read, and the extent that reached past the data's end.
    std::vector<uint8_t> pendingFirst_;
    uint64_t pendingOffset_ = 0;
    std::vector<Extent> pendingExtents_;
    size_t pendingRecords_ = 0;
    size_t firstPastEnd_ = 0;  // 1-based; 0 while none has
};

// Visits the files the directory at `place` lists, in the order
// their last records lie.
Result<void> walkListedFiles(const ImageSource& image, DirectoryPlace place, ListingStart start,
                             uint64_t dataEnd,
                             const std::function<WalkStep(const ListedRecords&)>& visit);

}  // namespace kestrel
