#include "journal/EntryRecords.h"

#include "io/ExtentClone.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kestrel {

namespace {

constexpr std::array<uint8_t, 16> kMagic{'K', 'E', 'S', 'T', 'R', 'E', 'L', ' ',
                                         'J', 'O', 'U', 'R', 'N', 'A', 'L', '1'};
enum RecordType : uint32_t {
    kBegin = 1,
    kRange = 2,
    kRolledBack = 3,
    kComplete = 4,
    kClonedRange = 5,
    kResized = 6,
    // The two kinds of range again, with the count of blocks written with zeros after their
    // fixed fields. Entries written before the count was kept hold the kinds above.
    kCountedRange = 7,
    kCountedClonedRange = 8,
};
constexpr size_t kHeadSize = 16;  // type, reserved, payload length
constexpr size_t kChecksumSize = 8;
constexpr size_t kRangeFixedSize = 1 + 8 + 8 + 8;
constexpr size_t kBlockEntrySize = 8 + 8 + 1;
// A cloned range: target, offset, length, block count and where its old bytes start within
// the payload; then each block's checksum of its new bytes.
constexpr size_t kClonedFixedSize = 1 + 8 + 8 + 8 + 8;
constexpr size_t kClonedBlockEntrySize = 8;
constexpr size_t kCountSize = 8;
// Where a range's block count, and a cloned range's end of table, lie among its fields.
constexpr size_t kBlockCountAt = 1 + 8 + 8;
// A record other than a range is small; a larger length can only be damage.
constexpr uint64_t kLargestSmallRecord = 64 * 1024;
// Ranges left unsynced are written, and sent on to the disk, once this many bytes wait.
constexpr uint64_t kWritebackAfterBytes = uint64_t{1} << 20;
// A range record up to this size waits in memory; a larger one is written at once.
constexpr uint64_t kGatheredRecordBytes = 64 * 1024;

class Fields {
public:
    void put8(uint8_t value) { bytes_.push_back(value); }
    void put32(uint32_t value) { putLe(value, 4); }
    void put64(uint64_t value) { putLe(value, 8); }
    // Fills in a field put before its value was known.
    void put64At(size_t at, uint64_t value) {
        for (int i = 0; i < 8; ++i) {
            bytes_[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    size_t size() const { return bytes_.size(); }
    void putText(const std::string& text) {
        put32(static_cast<uint32_t>(text.size()));
        bytes_.insert(bytes_.end(), text.begin(), text.end());
    }
    std::span<const uint8_t> bytes() const { return bytes_; }

private:
    void putLe(uint64_t value, int count) {
        for (int i = 0; i < count; ++i) {
            bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
        }
    }
    std::vector<uint8_t> bytes_;
};

class FieldReader {
public:
    explicit FieldReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    bool has(size_t count) const { return bytes_.size() - at_ >= count; }
    uint8_t get8() { return has(1) ? bytes_[at_++] : 0; }
    uint32_t get32() { return static_cast<uint32_t>(getLe(4)); }
    uint64_t get64() { return getLe(8); }
    std::string getText() {
        const uint32_t length = get32();
        if (!has(length)) {
            at_ = bytes_.size() + 1;
            return {};
        }
        std::string text(bytes_.begin() + static_cast<ptrdiff_t>(at_),
                         bytes_.begin() + static_cast<ptrdiff_t>(at_ + length));
        at_ += length;
        return text;
    }
    // Every read stayed inside the bytes, and they were all read.
    bool consumedExactly() const { return at_ == bytes_.size(); }

private:
    uint64_t getLe(int count) {
        if (!has(static_cast<size_t>(count))) {
            at_ = bytes_.size() + 1;
            return 0;
        }
        // Through a local pointer: a byte read through the member could alias `at_`, and the
        // compiler would load it again for every byte of a gigabyte's block table.
        const uint8_t* bytes = bytes_.data() + at_;
        uint64_t value = 0;
        for (int i = 0; i < count; ++i) {
            value |= uint64_t{bytes[i]} << (8 * i);
        }
        at_ += static_cast<size_t>(count);
        return value;
    }
    std::span<const uint8_t> bytes_;
    size_t at_ = 0;
};

Result<void> writeAll(int descriptor, const std::string& path, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(descriptor, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return systemError("Cannot write the undo journal", path, put < 0 ? errno : EIO);
        }
        bytes = bytes.subspan(static_cast<size_t>(put));
    }
    return {};
}

Result<void> readExactly(int descriptor, const std::string& path, uint64_t offset,
                         std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::pread(descriptor, out.data() + done, out.size() - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got < 0 ? systemError("Cannot read the undo journal", path, errno)
                           : Error{ErrorKind::CorruptImage,
                                   "The undo journal " + path + " ends inside a record"};
        }
        done += static_cast<size_t>(got);
    }
    return {};
}

Result<void> syncRecords(int descriptor, const std::string& path) {
    if (::fdatasync(descriptor) != 0) {
        return systemError("Cannot sync the undo journal", path, errno);
    }
    return {};
}

struct RecordFrame {
    Fields head;
    Fields checksum;
};

uint64_t lengthOf(std::span<const std::span<const uint8_t>> pieces) {
    uint64_t length = 0;
    for (const auto piece : pieces) {
        length += piece.size();
    }
    return length;
}

// The head and checksum that frame a record of `length` bytes: its type and length, and a
// checksum over the head and every piece, which are all of the record but for a cloned
// range's old bytes.
RecordFrame frameOf(RecordType type, std::span<const std::span<const uint8_t>> pieces,
                    uint64_t length) {
    RecordFrame frame;
    frame.head.put32(type);
    frame.head.put32(0);
    frame.head.put64(length);
    XXH3_state_t* state = XXH3_createState();
    XXH3_64bits_reset(state);
    XXH3_64bits_update(state, frame.head.bytes().data(), frame.head.bytes().size());
    for (const auto piece : pieces) {
        XXH3_64bits_update(state, piece.data(), piece.size());
    }
    frame.checksum.put64(XXH3_64bits_digest(state));
    XXH3_freeState(state);
    return frame;
}

// Adds the whole record to the end of `out`.
void encodeRecord(std::vector<uint8_t>& out, RecordType type,
                  std::span<const std::span<const uint8_t>> pieces) {
    const RecordFrame frame = frameOf(type, pieces, lengthOf(pieces));
    out.insert(out.end(), frame.head.bytes().begin(), frame.head.bytes().end());
    for (const auto piece : pieces) {
        out.insert(out.end(), piece.begin(), piece.end());
    }
    out.insert(out.end(), frame.checksum.bytes().begin(), frame.checksum.bytes().end());
}

// A record other than a range, written whole and synced.
Result<void> appendRecord(int descriptor, const std::string& path, RecordType type,
                          std::span<const uint8_t> payload) {
    std::vector<uint8_t> record;
    encodeRecord(record, type, std::span(&payload, 1));
    if (auto written = writeAll(descriptor, path, record); !written) {
        return written;
    }
    return syncRecords(descriptor, path);
}

constexpr std::array<uint8_t, kJournalBlockSize> kZeros{};

bool isZero(std::span<const uint8_t> block) {
    // memcmp is vectorised; a byte-by-byte look would cost more than the hashes.
    return std::memcmp(block.data(), kZeros.data(), block.size()) == 0;
}

// A range record's layout, by its type; nothing for a record of another kind.
struct RangeLayout {
    bool cloned = false;
    bool counted = false;
    size_t fixedSize = 0;  // its fields before the block table
    size_t entrySize = 0;  // of one block in the table
};

std::optional<RangeLayout> rangeLayoutOf(uint32_t type) {
    switch (type) {
        case kRange:
            return RangeLayout{false, false, kRangeFixedSize, kBlockEntrySize};
        case kCountedRange:
            return RangeLayout{false, true, kRangeFixedSize + kCountSize, kBlockEntrySize};
        case kClonedRange:
            return RangeLayout{true, false, kClonedFixedSize, kClonedBlockEntrySize};
        case kCountedClonedRange:
            return RangeLayout{true, true, kClonedFixedSize + kCountSize, kClonedBlockEntrySize};
        default:
            return std::nullopt;
    }
}

// Whether the count a range record keeps agrees with its table, where it keeps one.
bool countHolds(const SavedRange& range) {
    if (!range.zeroNewBlocks) {
        return true;
    }
    uint64_t zeros = 0;
    for (size_t i = 0; i < range.blocks.size(); ++i) {
        zeros += range.blocks[i].newHash == zeroBlockHash(range.blockLength(i)) ? 1 : 0;
    }
    return zeros == *range.zeroNewBlocks;
}

uint64_t loadLe64(const uint8_t* bytes) {
    uint64_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::big) {
        value = __builtin_bswap64(value);
    }
    return value;
}

size_t blockCountOf(uint64_t length) {
    return static_cast<size_t>((length + kJournalBlockSize - 1) / kJournalBlockSize);
}

// Checks a record's checksum by reading it again, in pieces: its head and the first
// `hashedLength` bytes of its payload.
Result<bool> checksumHolds(int descriptor, const std::string& path, uint64_t recordAt,
                           uint64_t hashedLength, uint64_t payloadLength) {
    XXH3_state_t* state = XXH3_createState();
    XXH3_64bits_reset(state);
    std::vector<uint8_t> piece(std::min<uint64_t>(kHeadSize + hashedLength, 1 << 20));
    Result<void> read;
    for (uint64_t done = 0; read && done < kHeadSize + hashedLength;) {
        const auto part = std::span(piece).first(
            std::min<uint64_t>(piece.size(), kHeadSize + hashedLength - done));
        read = readExactly(descriptor, path, recordAt + done, part);
        XXH3_64bits_update(state, part.data(), part.size());
        done += part.size();
    }
    const uint64_t computed = XXH3_64bits_digest(state);
    XXH3_freeState(state);
    std::array<uint8_t, kChecksumSize> stored{};
    if (read) {
        read = readExactly(descriptor, path, recordAt + kHeadSize + payloadLength, stored);
    }
    if (!read) {
        return read.error();
    }
    return FieldReader(stored).get64() == computed;
}

// The range's fields and block table, or its fields alone when `tableRead` is false; false
// when they cannot be those of a record written by RangeAppender::append.
bool parseRange(std::span<const uint8_t> fixedAndTable, uint64_t payloadLength,
                const RangeLayout& layout, bool tableRead, SavedRange& range) {
    FieldReader fields(fixedAndTable.first(layout.fixedSize));
    const uint8_t target = fields.get8();
    range.target = static_cast<JournalTarget>(target);
    range.offset = fields.get64();
    range.length = fields.get64();
    const uint64_t blockCount = fields.get64();
    if (layout.counted) {
        range.zeroNewBlocks = fields.get64();
    }
    if (target > 1 || range.length == 0 || range.offset + range.length < range.offset ||
        blockCount != blockCountOf(range.length) || range.zeroNewBlocks > blockCount) {
        return false;
    }
    const uint64_t tableEnd = layout.fixedSize + blockCount * kBlockEntrySize;
    if (!tableRead) {
        // Its old bytes, no more than its length, are checked against the table once read.
        range.tableUnread = true;
        return fixedAndTable.size() == layout.fixedSize && payloadLength >= tableEnd &&
               payloadLength - tableEnd <= range.length;
    }
    // A gigabyte's table holds half a million entries: read straight from the bytes, not field
    // by field, and reserved rather than resized, so that it is not written twice, zeros first.
    const auto table = fixedAndTable.subspan(layout.fixedSize);
    if (table.size() != blockCount * kBlockEntrySize) {
        return false;
    }
    uint64_t savedBytes = 0;
    range.blocks.reserve(blockCount);
    const uint8_t* entry = table.data();
    for (size_t i = 0; i < blockCount; ++i, entry += kBlockEntrySize) {
        auto& block = range.blocks.emplace_back();
        block.oldHash = loadLe64(entry);
        block.newHash = loadLe64(entry + 8);
        const uint8_t zero = entry[16];
        if (zero > 1) {
            return false;
        }
        block.oldIsZero = zero == 1;
        savedBytes += block.oldIsZero ? 0 : range.blockLength(i);
    }
    return tableEnd + savedBytes == payloadLength && countHolds(range);
}

// A cloned range's fields and block table, from its payload up to its old bytes, or its fields
// alone when `tableRead` is false; false when they cannot be those of a record written by
// appendCloned.
bool parseCloned(std::span<const uint8_t> beforeOldBytes, uint64_t payloadLength,
                 const RangeLayout& layout, bool tableRead, SavedRange& range,
                 uint64_t& oldBytesWithin) {
    FieldReader fields(beforeOldBytes.first(layout.fixedSize));
    const uint8_t target = fields.get8();
    range.target = static_cast<JournalTarget>(target);
    range.offset = fields.get64();
    range.length = fields.get64();
    const uint64_t blockCount = fields.get64();
    oldBytesWithin = fields.get64();
    if (layout.counted) {
        range.zeroNewBlocks = fields.get64();
    }
    range.cloned = true;
    if (target > 1 || range.length == 0 || range.offset + range.length < range.offset ||
        blockCount != blockCountOf(range.length) || range.zeroNewBlocks > blockCount ||
        (tableRead && oldBytesWithin != beforeOldBytes.size()) ||
        oldBytesWithin < layout.fixedSize + blockCount * kClonedBlockEntrySize ||
        payloadLength - oldBytesWithin != range.length) {
        return false;
    }
    if (!tableRead) {
        range.tableUnread = true;
        return beforeOldBytes.size() == layout.fixedSize;
    }
    FieldReader table(beforeOldBytes.subspan(layout.fixedSize, blockCount * kClonedBlockEntrySize));
    range.blocks.resize(blockCount);
    for (auto& block : range.blocks) {
        block.newHash = table.get64();
    }
    return table.consumedExactly() && countHolds(range);
}

// A range's record before it is framed: its fields and block table, then its old bytes that
// are not zero, as pieces of the caller's buffer.
struct EncodedRange {
    SavedRange range;
    Fields fields;
    std::vector<std::span<const uint8_t>> pieces;
};

EncodedRange encodeRange(JournalTarget target, uint64_t offset, std::span<const uint8_t> oldBytes,
                         std::span<const uint8_t> newBytes) {
    EncodedRange encoded;
    SavedRange& range = encoded.range;
    range.target = target;
    range.offset = offset;
    range.length = oldBytes.size();
    Fields& fields = encoded.fields;
    fields.put8(static_cast<uint8_t>(target));
    fields.put64(offset);
    fields.put64(range.length);
    fields.put64(blockCountOf(range.length));
    const size_t countAt = fields.size();
    fields.put64(0);
    range.blocks.resize(blockCountOf(range.length));
    uint64_t zeroNewBlocks = 0;
    for (size_t i = 0; i < range.blocks.size(); ++i) {
        const size_t from = i * kJournalBlockSize;
        const size_t count = range.blockLength(i);
        auto& block = range.blocks[i];
        block.oldHash = blockHash(oldBytes.subspan(from, count));
        const bool newIsZero = isZero(newBytes.subspan(from, count));
        block.newHash = newIsZero ? zeroBlockHash(count) : blockHash(newBytes.subspan(from, count));
        zeroNewBlocks += newIsZero ? 1 : 0;
        block.oldIsZero = isZero(oldBytes.subspan(from, count));
        fields.put64(block.oldHash);
        fields.put64(block.newHash);
        fields.put8(block.oldIsZero ? 1 : 0);
    }
    fields.put64At(countAt, zeroNewBlocks);
    range.zeroNewBlocks = zeroNewBlocks;
    // Blocks that are not zero are saved as they lie, in runs as long as possible.
    auto& pieces = encoded.pieces;
    pieces.reserve(range.blocks.size() + 1);
    pieces.push_back(fields.bytes());
    for (size_t i = 0; i < range.blocks.size(); ++i) {
        if (range.blocks[i].oldIsZero) {
            continue;
        }
        const auto block = oldBytes.subspan(i * kJournalBlockSize, range.blockLength(i));
        if (pieces.size() > 1 && pieces.back().data() + pieces.back().size() == block.data()) {
            pieces.back() = std::span(pieces.back().data(), pieces.back().size() + block.size());
        } else {
            pieces.push_back(block);
        }
    }
    return encoded;
}

// The completion mark's fields: the descriptors' checksum, then (since the image's
// modification time is kept) its size and that time.
constexpr size_t kCompletionSize = 24;
constexpr size_t kEarlierCompletionSize = 8;

std::optional<ImageStateAfter> parseCompletion(std::span<const uint8_t> payload) {
    if (payload.size() != kCompletionSize && payload.size() != kEarlierCompletionSize) {
        return std::nullopt;
    }
    FieldReader fields(payload);
    ImageStateAfter after;
    after.descriptorsHash = fields.get64();
    if (payload.size() == kCompletionSize) {
        after.size = fields.get64();
        after.modifiedAt = fields.get64();
    }
    return after;
}

// Reads an entry's records in order, each by its type, up to the first that is cut short or
// damaged: that is where a crash struck, and nothing behind it counts.
class EntryReader {
public:
    EntryReader(int descriptor, const std::string& path, uint64_t fileSize, bool checkRanges,
                bool countsForTables = false)
        : descriptor_(descriptor),
          path_(path),
          fileSize_(fileSize),
          checkRanges_(checkRanges),
          countsForTables_(countsForTables) {}

    Result<JournalEntryFile> read() {
        std::array<uint8_t, kMagic.size()> magic{};
        if (fileSize_ < kMagic.size() || !readExactly(descriptor_, path_, 0, magic) ||
            magic != kMagic) {
            return notAnEntry();
        }
        entry_.wholeRecordsEnd = kMagic.size();
        for (uint64_t at = kMagic.size(); fileSize_ - at >= kHeadSize + kChecksumSize;) {
            auto next = readRecord(at);
            if (!next) {
                return next.error();
            }
            if (!*next) {
                break;
            }
            at = **next;
            entry_.wholeRecordsEnd = at;
        }
        if (!begun_) {
            return notAnEntry();
        }
        return std::move(entry_);
    }

    // The range record at `at` read again, table and all.
    Result<SavedRange> rangeAt(uint64_t at) {
        std::array<uint8_t, kHeadSize> headBytes{};
        if (auto read = readExactly(descriptor_, path_, at, headBytes); !read) {
            return read.error();
        }
        FieldReader head(headBytes);
        const uint32_t type = head.get32();
        head.get32();
        const uint64_t length = head.get64();
        const auto layout = rangeLayoutOf(type);
        auto part = layout && fileSize_ >= at + kHeadSize + kChecksumSize &&
                            length <= fileSize_ - at - kHeadSize - kChecksumSize
                        ? readFields(type, at, length)
                        : Result<std::optional<std::vector<uint8_t>>>(std::nullopt);
        if (!part) {
            return part.error();
        }
        SavedRange range;
        uint64_t within = 0;
        if (!*part || !(layout->cloned ? parseCloned(**part, length, *layout, true, range, within)
                                       : parseRange(**part, length, *layout, true, range))) {
            return Error{ErrorKind::CorruptImage, "The undo journal entry " + path_ +
                                                      " holds a damaged range at byte " +
                                                      std::to_string(at)};
        }
        return range;
    }

private:
    Error notAnEntry() const {
        return Error{ErrorKind::CorruptImage,
                     path_ + " is not an undo journal entry that Kestrel wrote"};
    }

    // The record at `at`: where the next one starts, or nothing when this one does not count.
    Result<std::optional<uint64_t>> readRecord(uint64_t at) {
        std::array<uint8_t, kHeadSize> headBytes{};
        if (auto read = readExactly(descriptor_, path_, at, headBytes); !read) {
            return read.error();
        }
        FieldReader head(headBytes);
        const uint32_t type = head.get32();
        head.get32();
        const uint64_t length = head.get64();
        // A complete entry may take further marks of completion: an edit made without undo
        // records there what it left the image like.
        const auto layout = rangeLayoutOf(type);
        const bool large = layout.has_value();
        if (length > fileSize_ - at - kHeadSize - kChecksumSize ||
            (!large && length > kLargestSmallRecord) || begun_ != (type != kBegin) ||
            (entry_.complete() && type != kComplete)) {
            return std::optional<uint64_t>();
        }
        auto part = readFields(type, at, length);
        if (!part) {
            return part.error();
        }
        if (!*part) {
            return std::optional<uint64_t>();
        }
        // A cloned range's checksum covers what lies before its old bytes alone, and is always
        // checked: read again from the file, not from its fields, which may leave its table.
        const bool cloned = layout && layout->cloned;
        if (!layout || cloned || checkRanges_) {
            const uint64_t hashed =
                cloned ? FieldReader(std::span(**part).subspan(kBlockCountAt + 8)).get64() : length;
            auto holds = checksumHolds(descriptor_, path_, at, hashed, length);
            if (!holds || !*holds) {
                return holds ? Result<std::optional<uint64_t>>(std::nullopt) : holds.error();
            }
        }
        bool taken = false;
        switch (type) {
            case kBegin:
                taken = takeBegin(**part);
                if (!taken) {
                    return notAnEntry();
                }
                break;
            case kRange:
            case kCountedRange:
                taken = takeRange(**part, *layout, at, length);
                break;
            case kClonedRange:
            case kCountedClonedRange: {
                auto cloned = takeCloned(**part, *layout, at, length);
                if (!cloned) {
                    return cloned.error();
                }
                taken = *cloned;
                break;
            }
            case kResized:
                taken = takeResized(**part);
                break;
            case kRolledBack:
                taken = takeRolledBack(**part);
                break;
            case kComplete:
                taken = takeComplete(**part);
                break;
            default:
                break;
        }
        return taken ? std::optional(at + kHeadSize + length + kChecksumSize) : std::nullopt;
    }

    // Small records are read whole; of a range only its fields and block table, and of a
    // cloned range everything before its old bytes. Reading counts for tables, a range's
    // table is left out where its count stands for it.
    Result<std::optional<std::vector<uint8_t>>> readFields(uint32_t type, uint64_t at,
                                                           uint64_t length) {
        const auto layout = rangeLayoutOf(type);
        const size_t fixedSize = layout ? layout->fixedSize : 0;
        const bool cloned = layout && layout->cloned;
        std::vector<uint8_t> part(layout ? std::min<uint64_t>(length, fixedSize) : length);
        if (auto read = readExactly(descriptor_, path_, at + kHeadSize, part); !read) {
            return read.error();
        }
        if (!layout) {
            return std::optional(std::move(part));
        }
        if (part.size() < fixedSize) {
            return std::optional<std::vector<uint8_t>>();
        }
        FieldReader fields{std::span(part).subspan(kBlockCountAt)};
        const uint64_t blockCount = fields.get64();
        const uint64_t tableEnd = cloned ? fields.get64() : 0;
        const uint64_t zeroNewBlocks = FieldReader(std::span(part).last(kCountSize)).get64();
        const size_t entrySize = layout->entrySize;
        if (blockCount > (length - fixedSize) / entrySize ||
            (cloned && (tableEnd < fixedSize + blockCount * entrySize || tableEnd > length))) {
            return std::optional<std::vector<uint8_t>>();
        }
        if (countsForTables_ && layout->counted &&
            (zeroNewBlocks == 0 || zeroNewBlocks == blockCount)) {
            return std::optional(std::move(part));
        }
        // A cloned range's checksum also covers what lies between its table and its old
        // bytes, which is read with the table.
        part.resize(cloned ? tableEnd : fixedSize + blockCount * entrySize);
        if (auto read = readExactly(descriptor_, path_, at + kHeadSize + fixedSize,
                                    std::span(part).subspan(fixedSize));
            !read) {
            return read.error();
        }
        return std::optional(std::move(part));
    }

    bool takeBegin(std::span<const uint8_t> payload) {
        FieldReader fields(payload);
        auto& id = entry_.identity;
        id.device = fields.get64();
        id.inode = fields.get64();
        id.birth = fields.get64();
        id.size = fields.get64();
        id.descriptorsHash = fields.get64();
        auto& summary = entry_.summary;
        summary.kind = static_cast<EditKind>(fields.get8());
        summary.fileCount = fields.get32();
        summary.dataBytes = fields.get64();
        summary.madeAt = static_cast<int64_t>(fields.get64());
        summary.undoes = fields.get64();
        summary.name = fields.getText();
        begun_ = fields.consumedExactly() && summary.kind >= EditKind::Relink &&
                 summary.kind <= EditKind::Add;
        return begun_;
    }

    bool takeRange(std::span<const uint8_t> part, const RangeLayout& layout, uint64_t at,
                   uint64_t length) {
        SavedRange range;
        if (!parseRange(part, length, layout, part.size() > layout.fixedSize, range)) {
            return false;
        }
        range.recordAt = at;
        range.oldBytesAt =
            at + kHeadSize + layout.fixedSize + blockCountOf(range.length) * kBlockEntrySize;
        entry_.ranges.push_back(std::move(range));
        return true;
    }

    // A cloned range counts once its old bytes are there: were the checksum behind them on
    // the disk and the blocks shared before it not (a crash the file system did not order),
    // they would read as a hole, as no image's data that was cloned can.
    Result<bool> takeCloned(std::span<const uint8_t> part, const RangeLayout& layout, uint64_t at,
                            uint64_t length) {
        SavedRange range;
        uint64_t within = 0;
        if (!parseCloned(part, length, layout, part.size() > layout.fixedSize, range, within)) {
            return false;
        }
        range.recordAt = at;
        range.oldBytesAt = at + kHeadSize + within;
        if (!holdsNoHole(descriptor_, range.oldBytesAt, range.length)) {
            return false;
        }
        if (checkRanges_) {
            if (auto hashed = hashClonedBlocks(range); !hashed) {
                return hashed.error();
            }
        }
        entry_.ranges.push_back(std::move(range));
        return true;
    }

    Result<void> hashClonedBlocks(SavedRange& range) const {
        std::vector<uint8_t> piece(std::min<uint64_t>(range.length, 1 << 20));
        for (size_t i = 0; i < range.blocks.size();) {
            const uint64_t from = i * kJournalBlockSize;
            const auto part =
                std::span(piece).first(std::min<uint64_t>(piece.size(), range.length - from));
            if (auto read = readExactly(descriptor_, path_, range.oldBytesAt + from, part); !read) {
                return read;
            }
            for (size_t at = 0; at < part.size(); at += kJournalBlockSize, ++i) {
                range.blocks[i].oldHash = blockHash(
                    part.subspan(at, std::min<size_t>(kJournalBlockSize, part.size() - at)));
            }
        }
        return {};
    }

    bool takeResized(std::span<const uint8_t> payload) {
        FieldReader fields(payload);
        SavedRange resize;
        const uint8_t target = fields.get8();
        resize.target = static_cast<JournalTarget>(target);
        resize.offset = fields.get64();
        resize.resizedTo = fields.get64();
        if (!fields.consumedExactly() || target > 1) {
            return false;
        }
        markCutOff(entry_.ranges, resize);
        entry_.ranges.push_back(std::move(resize));
        return true;
    }

    bool takeRolledBack(std::span<const uint8_t> payload) {
        FieldReader fields(payload);
        const uint64_t from = fields.get64();
        if (!fields.consumedExactly() || from > entry_.ranges.size()) {
            return false;
        }
        for (size_t i = from; i < entry_.ranges.size(); ++i) {
            entry_.ranges[i].rolledBack = true;
        }
        return true;
    }

    bool takeComplete(std::span<const uint8_t> payload) {
        auto after = parseCompletion(payload);
        entry_.after = after;
        entry_.completionMarks += after ? 1 : 0;
        return after.has_value();
    }

    int descriptor_;
    const std::string& path_;
    uint64_t fileSize_;
    bool checkRanges_;
    bool countsForTables_;
    JournalEntryFile entry_;
    bool begun_ = false;
};

Result<uint64_t> fileSizeOf(int descriptor, const std::string& path) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return systemError("Cannot read the undo journal", path, errno);
    }
    return static_cast<uint64_t>(status.st_size);
}

}  // namespace

void markCutOff(std::vector<SavedRange>& ranges, const SavedRange& resize) {
    for (auto& range : ranges) {
        if (range.target == resize.target && !range.resizedTo &&
            range.offset >= *resize.resizedTo) {
            range.cut = true;
        }
    }
}

uint64_t SavedRange::blockLength(size_t block) const {
    return std::min<uint64_t>(kJournalBlockSize, length - block * kJournalBlockSize);
}

std::optional<std::string> ImageStateAfter::differenceFrom(const ImageIdentity& now) const {
    if (size != 0 && size != now.size) {
        return "it holds " + std::to_string(now.size) + " bytes, where the edit left " +
               std::to_string(size);
    }
    if (descriptorsHash != now.descriptorsHash) {
        return "its volume descriptors are not those the edit left";
    }
    if (modifiedAt != 0 && modifiedAt != now.modifiedAt) {
        return "it was written by another program, or another file was copied over it";
    }
    return std::nullopt;
}

uint64_t blockHash(std::span<const uint8_t> block) {
    return XXH3_64bits(block.data(), block.size());
}

uint64_t zeroBlockHash(uint64_t length) {
    // A Dummy's blocks are all zeros, whose checksum is taken once rather than for each.
    static const uint64_t whole = blockHash(kZeros);
    return length == kJournalBlockSize
               ? whole
               : blockHash(std::span(kZeros).first(static_cast<size_t>(length)));
}

bool JournalEntryFile::changedBytes() const {
    return std::ranges::any_of(ranges, [](const SavedRange& range) { return !range.rolledBack; });
}

Result<JournalEntryFile> readJournalEntry(int descriptor, const std::string& path,
                                          bool checkRanges) {
    const auto fileSize = fileSizeOf(descriptor, path);
    if (!fileSize) {
        return fileSize.error();
    }
    return EntryReader(descriptor, path, *fileSize, checkRanges).read();
}

Result<JournalEntryFile> readJournalEntryCounted(int descriptor, const std::string& path) {
    const auto fileSize = fileSizeOf(descriptor, path);
    if (!fileSize) {
        return fileSize.error();
    }
    return EntryReader(descriptor, path, *fileSize, false, true).read();
}

Result<void> readBlockTable(int descriptor, const std::string& path, SavedRange& range) {
    const auto fileSize = fileSizeOf(descriptor, path);
    auto read = fileSize ? EntryReader(descriptor, path, *fileSize, false).rangeAt(range.recordAt)
                         : Result<SavedRange>(fileSize.error());
    if (!read) {
        return read.error();
    }
    if (read->target != range.target || read->offset != range.offset ||
        read->length != range.length || read->zeroNewBlocks != range.zeroNewBlocks) {
        return Error{ErrorKind::CorruptImage,
                     "The undo journal entry " + path + " changed while it was read"};
    }
    range.blocks = std::move(read->blocks);
    range.tableUnread = false;
    return {};
}

Result<std::optional<ImageStateAfter>> readCompletionMark(int descriptor, const std::string& path) {
    const auto fileSize = fileSizeOf(descriptor, path);
    if (!fileSize) {
        return fileSize.error();
    }
    // The mark of this version carries three fields, that of earlier versions one.
    for (const size_t payload : {kCompletionSize, kEarlierCompletionSize}) {
        const size_t markSize = kHeadSize + payload + kChecksumSize;
        if (*fileSize < kMagic.size() + markSize) {
            continue;
        }
        std::vector<uint8_t> mark(markSize);
        if (auto read = readExactly(descriptor, path, *fileSize - markSize, mark); !read) {
            return read.error();
        }
        FieldReader fields(mark);
        const uint32_t type = fields.get32();
        fields.get32();
        const uint64_t length = fields.get64();
        const uint64_t checksum = FieldReader(std::span(mark).subspan(kHeadSize + payload)).get64();
        if (type == kComplete && length == payload &&
            checksum == XXH3_64bits(mark.data(), kHeadSize + payload)) {
            return parseCompletion(std::span(mark).subspan(kHeadSize, payload));
        }
    }
    return std::optional<ImageStateAfter>();
}

Result<std::vector<uint8_t>> readSavedBytes(int descriptor, const std::string& path,
                                            const SavedRange& range) {
    std::vector<uint8_t> bytes(range.length);
    if (range.cloned) {
        // Nothing to check them against: their checksums, where known, were taken from them.
        if (auto read = readExactly(descriptor, path, range.oldBytesAt, bytes); !read) {
            return read.error();
        }
        return bytes;
    }
    uint64_t at = range.oldBytesAt;
    for (size_t i = 0; i < range.blocks.size(); ++i) {
        const auto block = std::span(bytes).subspan(i * kJournalBlockSize, range.blockLength(i));
        if (!range.blocks[i].oldIsZero) {
            if (auto read = readExactly(descriptor, path, at, block); !read) {
                return read.error();
            }
            at += block.size();
        }
        if (blockHash(block) != range.blocks[i].oldHash) {
            return Error{ErrorKind::CorruptImage,
                         "The undo journal " + path + " holds damaged bytes for byte " +
                             std::to_string(range.offset + i * kJournalBlockSize)};
        }
    }
    return bytes;
}

Result<void> appendBegin(int descriptor, const std::string& path, const ImageIdentity& identity,
                         const EditSummary& summary) {
    if (auto written = writeAll(descriptor, path, kMagic); !written) {
        return written;
    }
    Fields fields;
    fields.put64(identity.device);
    fields.put64(identity.inode);
    fields.put64(identity.birth);
    fields.put64(identity.size);
    fields.put64(identity.descriptorsHash);
    fields.put8(static_cast<uint8_t>(summary.kind));
    fields.put32(summary.fileCount);
    fields.put64(summary.dataBytes);
    fields.put64(static_cast<uint64_t>(summary.madeAt));
    fields.put64(summary.undoes);
    fields.putText(summary.name.substr(0, 4096));
    const std::span<const uint8_t> payload = fields.bytes();
    return appendRecord(descriptor, path, kBegin, payload);
}

RangeAppender::RangeAppender(int descriptor, std::string path)
    : descriptor_(descriptor), path_(std::move(path)) {}

Result<void> RangeAppender::findEnd() {
    if (end_) {
        return {};
    }
    const auto size = fileSizeOf(descriptor_, path_);
    if (!size) {
        return size.error();
    }
    end_ = *size;
    writtenEnd_ = *size;
    sentUpTo_ = *size;
    return {};
}

Result<SavedRange> RangeAppender::append(JournalTarget target, uint64_t offset,
                                         std::span<const uint8_t> oldBytes,
                                         std::span<const uint8_t> newBytes, bool sync) {
    if (failed_) {
        return *failed_;
    }
    if (auto found = findEnd(); !found) {
        return found.error();
    }
    EncodedRange encoded = encodeRange(target, offset, oldBytes, newBytes);
    SavedRange& range = encoded.range;
    range.recordAt = *end_;
    range.oldBytesAt = *end_ + kHeadSize + encoded.fields.bytes().size();
    uint64_t length = kHeadSize + kChecksumSize;
    for (const auto piece : encoded.pieces) {
        length += piece.size();
    }
    if (length <= kGatheredRecordBytes) {
        encodeRecord(waiting_, kCountedRange, encoded.pieces);
        ++rangesWaiting_;
    } else {
        // A large record's pieces are written as they lie rather than copied.
        if (auto flushed = flush(); !flushed) {
            return flushed.error();
        }
        const RecordFrame frame = frameOf(kCountedRange, encoded.pieces, lengthOf(encoded.pieces));
        encoded.pieces.insert(encoded.pieces.begin(), frame.head.bytes());
        encoded.pieces.push_back(frame.checksum.bytes());
        for (const auto piece : encoded.pieces) {
            if (auto written = write(piece); !written) {
                return written.error();
            }
        }
        ++rangesWritten_;
        writtenEnd_ = *end_ + length;
    }
    *end_ += length;
    // Small records wait until a megabyte of them is there; a large one, written already, is
    // sent on to the disk at once.
    Result<void> sent;
    if (sync) {
        sent = this->sync();
    } else if (waiting_.empty() || waiting_.size() >= kWritebackAfterBytes) {
        sent = flush();
    }
    if (!sent) {
        return sent.error();
    }
    return std::move(range);
}

// The record's fields, table and padding are written first, so that the old bytes start at a
// multiple of the block size; then the image's blocks are shared in behind them, and last
// comes the checksum, without which the record does not count. The old bytes are never read
// here: hashing a cloned gigabyte would cost as much as copying it, which is what sharing
// saves. They are the image's blocks as the file system holds them, never in our memory, so
// no copy of ours can have torn or changed them; undo and recovery compare the image with
// them directly.
Result<std::optional<SavedRange>> RangeAppender::appendCloned(JournalTarget target, uint64_t offset,
                                                              std::span<const uint8_t> newBytes,
                                                              int source, uint64_t blockSize,
                                                              bool sync) {
    if (failed_) {
        return *failed_;
    }
    if (auto found = findEnd(); !found) {
        return found.error();
    }
    if (auto flushed = flush(); !flushed) {
        return flushed.error();
    }
    SavedRange range;
    range.target = target;
    range.offset = offset;
    range.length = newBytes.size();
    range.cloned = true;
    range.blocks.resize(blockCountOf(range.length));
    const uint64_t recordAt = *end_;
    const uint64_t tableEnd = recordAt + kHeadSize + kClonedFixedSize + kCountSize +
                              range.blocks.size() * kClonedBlockEntrySize;
    const uint64_t oldBytesAt = (tableEnd + blockSize - 1) / blockSize * blockSize;
    Fields fields;
    fields.put8(static_cast<uint8_t>(target));
    fields.put64(offset);
    fields.put64(range.length);
    fields.put64(range.blocks.size());
    fields.put64(oldBytesAt - recordAt - kHeadSize);
    const size_t countAt = fields.size();
    fields.put64(0);
    uint64_t zeroNewBlocks = 0;
    for (size_t i = 0; i < range.blocks.size(); ++i) {
        const auto block = newBytes.subspan(i * kJournalBlockSize, range.blockLength(i));
        const bool newIsZero = isZero(block);
        range.blocks[i].newHash = newIsZero ? zeroBlockHash(block.size()) : blockHash(block);
        zeroNewBlocks += newIsZero ? 1 : 0;
        fields.put64(range.blocks[i].newHash);
    }
    fields.put64At(countAt, zeroNewBlocks);
    range.zeroNewBlocks = zeroNewBlocks;
    const std::vector<uint8_t> padding(oldBytesAt - tableEnd);
    const std::array<std::span<const uint8_t>, 2> hashed{fields.bytes(), padding};
    const RecordFrame frame =
        frameOf(kCountedClonedRange, hashed, oldBytesAt - recordAt - kHeadSize + range.length);
    for (const auto piece :
         {frame.head.bytes(), fields.bytes(), std::span<const uint8_t>(padding)}) {
        if (auto written = write(piece); !written) {
            return written.error();
        }
    }
    if (!cloneRange(source, offset, descriptor_, oldBytesAt, range.length)) {
        // What the refused clone may have left is cut off, before the next range is appended.
        if (::ftruncate(descriptor_, static_cast<off_t>(recordAt)) != 0) {
            failed_ = systemError("Cannot cut back the undo journal", path_, errno);
            return *failed_;
        }
        return std::optional<SavedRange>();
    }
    if (auto written = write(frame.checksum.bytes()); !written) {
        return written.error();
    }
    range.recordAt = recordAt;
    range.oldBytesAt = oldBytesAt;
    *end_ = oldBytesAt + range.length + kChecksumSize;
    writtenEnd_ = *end_;
    sentUpTo_ = std::max(sentUpTo_, oldBytesAt + range.length);
    ++rangesWritten_;
    if (sync) {
        if (auto synced = this->sync(); !synced) {
            return synced.error();
        }
    }
    return std::optional(std::move(range));
}

Result<void> RangeAppender::write(std::span<const uint8_t> bytes) {
    if (auto written = writeAll(descriptor_, path_, bytes); !written) {
        // What waited, or part of a record, may be missing from the file now.
        failed_ = Error{written.error().kind,
                        written.error().message + "; the undo journal takes no more writes"};
        return *failed_;
    }
    return {};
}

Result<void> RangeAppender::flush() {
    if (failed_) {
        return *failed_;
    }
    if (!waiting_.empty()) {
        if (auto written = write(waiting_); !written) {
            return written;
        }
        waiting_.clear();
        rangesWritten_ += std::exchange(rangesWaiting_, 0);
        writtenEnd_ = *end_;
    }
    // What was written starts to reach the disk now, a megabyte or more at a time, while the
    // next records are made and the image is written.
    if (end_ && *end_ - sentUpTo_ >= kWritebackAfterBytes) {
        ::sync_file_range(descriptor_, static_cast<off_t>(sentUpTo_),
                          static_cast<off_t>(*end_ - sentUpTo_), SYNC_FILE_RANGE_WRITE);
        sentUpTo_ = *end_;
    }
    return {};
}

Result<void> RangeAppender::sync() {
    if (auto flushed = flush(); !flushed) {
        return flushed;
    }
    if (auto synced = syncRecords(descriptor_, path_); !synced) {
        return synced;
    }
    // Once on the disk, the journal is read again only by a rollback or an undo. Its cached
    // pages are given back now, so that the next records go into pages just freed rather than
    // ones the system must find anew: saving a gigabyte took twice as long without this.
    ::posix_fadvise(descriptor_, 0, 0, POSIX_FADV_DONTNEED);
    return {};
}

Result<SavedRange> RangeAppender::appendResized(JournalTarget target, uint64_t before,
                                                uint64_t after) {
    if (auto flushed = flush(); !flushed) {
        return flushed.error();
    }
    if (auto found = findEnd(); !found) {
        return found.error();
    }
    Fields fields;
    fields.put8(static_cast<uint8_t>(target));
    fields.put64(before);
    fields.put64(after);
    const std::span<const uint8_t> payload = fields.bytes();
    std::vector<uint8_t> record;
    encodeRecord(record, kResized, std::span(&payload, 1));
    SavedRange resize;
    resize.target = target;
    resize.offset = before;
    resize.resizedTo = after;
    resize.recordAt = *end_;
    if (auto written = write(record); !written) {
        return written.error();
    }
    *end_ += record.size();
    writtenEnd_ = *end_;
    ++rangesWritten_;
    if (auto synced = sync(); !synced) {
        return synced.error();
    }
    return resize;
}

Result<void> RangeAppender::appendRolledBack(size_t fromRange) {
    if (auto flushed = flush(); !flushed) {
        return flushed;
    }
    end_.reset();  // read again by the next range
    return kestrel::appendRolledBack(descriptor_, path_, fromRange);
}

Result<void> RangeAppender::appendComplete(const ImageIdentity& after) {
    if (auto flushed = flush(); !flushed) {
        return flushed;
    }
    end_.reset();
    return kestrel::appendComplete(descriptor_, path_, after);
}

Result<void> RangeAppender::cutBackTo(uint64_t length) {
    if (auto cut = cutEntry(descriptor_, path_, length); !cut) {
        return cut;
    }
    // Nothing that waited or was lost lies before the cut: every range it kept was written.
    waiting_.clear();
    rangesWaiting_ = 0;
    failed_.reset();
    end_.reset();
    return {};
}

Result<void> appendRolledBack(int descriptor, const std::string& path, size_t fromRange) {
    Fields fields;
    fields.put64(fromRange);
    const std::span<const uint8_t> payload = fields.bytes();
    return appendRecord(descriptor, path, kRolledBack, payload);
}

Result<void> appendComplete(int descriptor, const std::string& path, const ImageIdentity& after) {
    Fields fields;
    fields.put64(after.descriptorsHash);
    fields.put64(after.size);
    fields.put64(after.modifiedAt);
    const std::span<const uint8_t> payload = fields.bytes();
    return appendRecord(descriptor, path, kComplete, payload);
}

Result<void> cutEntry(int descriptor, const std::string& path, uint64_t length) {
    if (::ftruncate(descriptor, static_cast<off_t>(length)) != 0) {
        return systemError("Cannot cut back the undo journal", path, errno);
    }
    return syncRecords(descriptor, path);
}

}  // namespace kestrel
