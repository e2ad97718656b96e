// The one walk over a directory's records, shared by the listing and by every operation that
// finds a listed file's record again, so that each listed row is always found.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "image/ByteOrder.h"
#include "image/DirectoryRecord.h"
#include "io/ImageSource.h"

namespace kestrel {

// Where a directory's own records end and its listing begins.
enum class ListingStart {
    // 96 bytes into the extent, where the fixed layout's 48-byte "." and ".." end.
    Fixed,
    // Behind the "." and ".." records, by the lengths they record.
    BehindDotRecords,
};

struct WalkedRecord {
    uint64_t offset;  // of the record's first byte in the image
    const DirectoryRecord& record;
};

// A record as the walk meets it, read where it lies: a look-up by name or by extent reads its
// few fields from the directory's bytes instead of copying the record, so that finding one
// file among thousands costs no allocation per record passed. Valid during the visit only.
struct RecordView {
    uint64_t offset;                 // of the record's first byte in the image
    std::span<const uint8_t> bytes;  // the record's own bytes, its recorded length of them

    uint32_t extentLba() const { return readLe32(bytes, record::kExtentLba); }
    uint32_t dataLength() const { return readLe32(bytes, record::kDataLength); }
    // As DirectoryRecord::isListed: a record without flags.
    bool isListed() const { return bytes[record::kFlags] == 0; }
    // All of its bytes, version suffix included.
    std::string_view identifier() const {
        return {reinterpret_cast<const char*>(bytes.data()) + record::kIdentifier,
                bytes[record::kIdentifierLength]};
    }
};

enum class WalkStep { Continue, Stop };

// Where a directory's records lie: from its extent's first byte, `offset`, and never at or
// past `limit`, where the next directory extent of its tree begins (see
// PathTableDirectory::nextExtentLba), so that no sector is walked for two directories.
struct DirectoryPlace {
    // Without a limit the extent alone says where the walk ends. Explicit, so that no offset
    // passes for a directory's place and quietly walks past its limit.
    explicit DirectoryPlace(uint64_t offset, uint64_t limit = UINT64_MAX)
        : offset(offset), limit(limit) {}

    uint64_t offset;
    uint64_t limit;
};

// Where the walk of the directory at `place` ends at the latest: every byte it reads, and so
// every byte that decides which records it visits, lies between its offset and this.
Result<uint64_t> directoryEnd(const ImageSource& image, DirectoryPlace place);

// Visits the records of the directory at `place`, from its listing start. A zero length byte
// moves the walk to the next sector while the directory (its size is the data length of its
// "." record) goes on; the walk ends at the directory's end, at its place's limit, at a sector
// that starts with a zero length byte, at the end of the image, or at the first record that
// is not whole inside its sector. Records with flags are visited too; the visitor decides what
// they mean.
Result<void> walkDirectory(const ImageSource& image, DirectoryPlace place, ListingStart start,
                           const std::function<WalkStep(const WalkedRecord&)>& visit);
// The same walk over the same records, each visited unparsed.
Result<void> walkRecordViews(const ImageSource& image, DirectoryPlace place, ListingStart start,
                             const std::function<WalkStep(const RecordView&)>& visit);

}  // namespace kestrel
