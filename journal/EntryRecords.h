// One edit's journal entry on disk: a file of records, each with its length and a checksum,
// appended and synced in an order that leaves a readable account after a crash at any
// moment. A record cut short or failing its checksum is where the crash struck: it and
// anything after it are taken as never written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/Result.h"
#include "journal/EditSummary.h"

namespace kestrel {

// The files an edit writes: the image, and the copy of a dual-layer image's layer-1 start.
enum class JournalTarget : uint8_t { Image = 0, LayerCopy = 1 };

// Old and new bytes are checked in blocks of this size.
inline constexpr size_t kJournalBlockSize = 2048;

// More than a path: a journal is never applied to another file that has taken its name.
struct ImageIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    // When the file was made, in nanoseconds, where the file system keeps it: an inode that
    // was freed and given to a new file does not bring the old file's journal along.
    uint64_t birth = 0;
    uint64_t size = 0;
    uint64_t descriptorsHash = 0;  // of the volume descriptors, sector 16 to the terminator
    // When the file's bytes last changed, in nanoseconds. Not part of an entry's Begin record,
    // which names the file; its completion mark keeps it.
    uint64_t modifiedAt = 0;
    bool operator==(const ImageIdentity&) const = default;
};

// What the image was like once an edit was complete, kept in the mark that ends its entry.
// Another file copied over the image keeps its inode, and may keep its size and descriptors
// too; its modification time tells it apart. Entries of earlier versions kept the
// descriptors' checksum alone: their size and time are zero, and not compared.
struct ImageStateAfter {
    uint64_t descriptorsHash = 0;
    uint64_t size = 0;
    uint64_t modifiedAt = 0;

    // Why the image as it is now is not the one the edit left, or nothing when it is.
    std::optional<std::string> differenceFrom(const ImageIdentity& now) const;
};

struct SavedBlock {
    uint64_t oldHash = 0;
    uint64_t newHash = 0;
    bool oldIsZero = false;  // a run of zeros is recorded, not its bytes
};

// A byte range an edit was about to overwrite: where it is, and its blocks' checksums before
// and after; the old bytes of the blocks that were not zero follow in the entry file.
struct SavedRange {
    JournalTarget target = JournalTarget::Image;
    uint64_t offset = 0;
    uint64_t length = 0;
    std::vector<SavedBlock> blocks;
    uint64_t recordAt = 0;    // where its record starts in the entry file
    uint64_t oldBytesAt = 0;  // where its old bytes start
    // Its old bytes are the image's own blocks, which the entry file shares (see
    // RangeAppender::appendCloned), every block of them stored, zeros too. The entry keeps no
    // checksum of them: the old-byte checksums of its blocks are taken from the entry when
    // it is read with its ranges checked, and are zero otherwise.
    bool cloned = false;
    // Rolled back when a write of the edit failed: no longer part of the edit.
    bool rolledBack = false;
    // Not bytes but a change of the file's length, from `offset` bytes to this; such an item
    // has no length and no blocks, and is put back by giving the file its length again.
    std::optional<uint64_t> resizedTo;
    // Its bytes were saved just before a later item of the edit cut them off the file's end:
    // the file no longer holds what the edit left there, as there is nothing left.
    bool cut = false;
    // How many of its blocks the edit wrote zeros to, kept beside the table since entries
    // carried it (earlier ones did not): a patch learns from it alone that a Dummy's gigabyte
    // is zeros, where reading the table of half a million checksums that says so cost most of
    // its time.
    std::optional<uint64_t> zeroNewBlocks;
    // Read by readJournalEntryCounted, which left its table out: `blocks` is empty until
    // readBlockTable reads it.
    bool tableUnread = false;

    uint64_t end() const { return offset + length; }
    size_t blockCount() const {
        return static_cast<size_t>((length + kJournalBlockSize - 1) / kJournalBlockSize);
    }
    uint64_t blockLength(size_t block) const;
};

struct JournalEntryFile {
    ImageIdentity identity;  // of the image before the edit
    EditSummary summary;
    std::vector<SavedRange> ranges;
    // Recorded once the image was written and synced: the edit is complete. The last of the
    // entry's marks of completion, which later edits made without undo may add.
    std::optional<ImageStateAfter> after;
    // How many marks of completion it holds: more than one says that edits were made without
    // undo after it, whose old bytes no entry keeps.
    uint32_t completionMarks = 0;
    // Where the last whole record ends; a crash may have left part of one behind it.
    uint64_t wholeRecordsEnd = 0;

    bool complete() const { return after.has_value(); }
    // Whether any range is still part of the edit.
    bool changedBytes() const;
};

uint64_t blockHash(std::span<const uint8_t> block);
// The checksum of `length` zero bytes, a block's at most.
uint64_t zeroBlockHash(uint64_t length);

// Marks the ranges before `resize`, an item that shortens its file, whose bytes it cuts off.
void markCutOff(std::vector<SavedRange>& ranges, const SavedRange& resize);

// Reads the entry in the open file `descriptor`. With `checkRanges`, every range record's
// checksum is verified as well, which reads all of its saved bytes.
Result<JournalEntryFile> readJournalEntry(int descriptor, const std::string& path,
                                          bool checkRanges);
// Reads the entry as readJournalEntry does without checking ranges, but leaves out the table
// of every range whose count says that the edit wrote zeros to all of its blocks or to none:
// all that a patch needs of it unless its old bytes are wanted.
Result<JournalEntryFile> readJournalEntryCounted(int descriptor, const std::string& path);
// Reads the table that readJournalEntryCounted left out of `range`; refused when the record
// is not the one read before, or its table does not agree with its count.
Result<void> readBlockTable(int descriptor, const std::string& path, SavedRange& range);
// The completion mark that ends the entry, read from its last bytes alone; nothing when the
// entry does not end with one.
Result<std::optional<ImageStateAfter>> readCompletionMark(int descriptor, const std::string& path);
// The old bytes of `range`, each block checked against its checksum.
Result<std::vector<uint8_t>> readSavedBytes(int descriptor, const std::string& path,
                                            const SavedRange& range);

// Each append writes one record at the end of the file and syncs it.
Result<void> appendBegin(int descriptor, const std::string& path, const ImageIdentity& identity,
                         const EditSummary& summary);
// Ranges from `fromRange` to the last one appended were rolled back.
Result<void> appendRolledBack(int descriptor, const std::string& path, size_t fromRange);
Result<void> appendComplete(int descriptor, const std::string& path, const ImageIdentity& after);
// Ends the file at `length`, dropping what follows, and syncs it: a record cut short by a
// crash, or the ranges a rollback put back when no record saying so could be added.
Result<void> cutEntry(int descriptor, const std::string& path, uint64_t length);

// Appends one edit's range records to its entry file. A range need not be synced at once:
// small ones then wait in memory, gathered with the next, and go out a megabyte at a time,
// each megabyte sent on its way to the disk as it is written, so that a run of thousands of
// small files makes a few large writes and its sync finds most of them on the disk already.
// Once a write fails, every later call fails: what waited may be lost.
class RangeAppender {
public:
    RangeAppender(int descriptor, std::string path);

    Result<SavedRange> append(JournalTarget target, uint64_t offset,
                              std::span<const uint8_t> oldBytes, std::span<const uint8_t> newBytes,
                              bool sync);
    // Saves `length` bytes at `offset` of the open file `source` by sharing its blocks, which
    // `offset` and `length` are multiples of, as are the entry's: the old bytes are not read,
    // and only the checksums of `newBytes` are written. Nothing, with the entry as it was,
    // when the file system refuses to share them.
    Result<std::optional<SavedRange>> appendCloned(JournalTarget target, uint64_t offset,
                                                   std::span<const uint8_t> newBytes, int source,
                                                   uint64_t blockSize, bool sync);
    // Writes what waits, so that the file holds every range appended.
    Result<void> flush();
    // Flushes, and syncs the file: every range appended is on the disk when this succeeds.
    Result<void> sync();
    // Appends, and syncs, the record that the file `target` is about to change its length
    // from `before` to `after` bytes.
    Result<SavedRange> appendResized(JournalTarget target, uint64_t before, uint64_t after);
    // Flushes, then appends the record that the ranges from `fromRange` on were rolled back, or
    // the mark of completion, and syncs.
    Result<void> appendRolledBack(size_t fromRange);
    Result<void> appendComplete(const ImageIdentity& after);
    // Ends the file at `length`, before the record of a range that was put back: the file is
    // whole again, whatever a failed write left behind it.
    Result<void> cutBackTo(uint64_t length);
    // How many of the ranges appended the file holds, and where the last of them ends.
    size_t rangesWritten() const { return rangesWritten_; }
    uint64_t writtenEnd() const { return writtenEnd_; }

private:
    Result<void> write(std::span<const uint8_t> bytes);
    Result<void> findEnd();

    int descriptor_;
    std::string path_;
    std::optional<uint64_t> end_;  // of the file and what waits, read when first needed
    uint64_t writtenEnd_ = 0;      // of the records the file holds whole
    uint64_t sentUpTo_ = 0;        // the end of what the disk was asked to take
    std::vector<uint8_t> waiting_;
    size_t rangesWaiting_ = 0;
    size_t rangesWritten_ = 0;
    std::optional<Error> failed_;
};

}  // namespace kestrel
