#include "ops/PartitionTables.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "image/ByteOrder.h"

namespace kestrel {

namespace {

constexpr uint64_t kBlock = 512;  // the sector of the MBR and the GPT
constexpr uint64_t kIsoSector = 2048;
// A partition that ends this close to the image's end is taken to end with it: tools round
// the image up to a cylinder or pad it after the last partition.
constexpr uint64_t kEndSlack = uint64_t{1} << 20;

// MBR (the partition entries of the classic boot sector).
constexpr size_t kMbrEntriesAt = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr size_t kMbrSignatureAt = 510;
constexpr size_t kStartChsAt = 1;  // in an entry, as the four fields below
constexpr size_t kTypeAt = 4;
constexpr size_t kEndChsAt = 5;
constexpr size_t kFirstAt = 8;
constexpr size_t kCountAt = 12;
constexpr uint8_t kProtectiveType = 0xEE;
constexpr uint64_t kMostMbrCount = 0xFFFFFFFF;
constexpr unsigned kMostCylinder = 1023;
// What an entry's CHS address holds past cylinder 1023, and what fdisk expects there.
constexpr std::array<uint8_t, 3> kChsBeyond = {0xFE, 0xFF, 0xFF};

// GPT (UEFI 2.10, 5.3): header fields and entry fields.
constexpr std::string_view kGptSignature = "EFI PART";
constexpr size_t kHeaderSizeAt = 12;
constexpr size_t kHeaderCrcAt = 16;
constexpr size_t kMyLbaAt = 24;
constexpr size_t kAlternateLbaAt = 32;
constexpr size_t kFirstUsableAt = 40;
constexpr size_t kLastUsableAt = 48;
constexpr size_t kEntriesLbaAt = 72;
constexpr size_t kEntryCountAt = 80;
constexpr size_t kEntrySizeAt = 84;
constexpr size_t kEntriesCrcAt = 88;
constexpr size_t kSmallestHeader = 92;
constexpr size_t kSmallestEntry = 128;
constexpr size_t kEntryFirstLbaAt = 32;
constexpr size_t kEntryLastLbaAt = 40;
constexpr size_t kTypeGuidSize = 16;
// An entry array larger than this is damage (tools write 16 or 32 KiB).
constexpr uint64_t kLargestEntries = uint64_t{1} << 20;

// Apple partition map: a driver descriptor ("ER") at 0 and map entries ("PM") from block 1.
constexpr size_t kMostAppleEntries = 64;

uint64_t readLe64(std::span<const uint8_t> bytes, size_t at) {
    return uint64_t{readLe32(bytes, at)} | uint64_t{readLe32(bytes, at + 4)} << 32;
}

void writeLe(std::span<uint8_t> bytes, size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t crc32(std::span<const uint8_t> bytes) {
    static const auto table = [] {
        std::array<uint32_t, 256> built{};
        for (uint32_t n = 0; n < built.size(); ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
            }
            built[n] = c;
        }
        return built;
    }();
    uint32_t c = 0xFFFFFFFFU;
    for (const uint8_t byte : bytes) {
        c = table[(c ^ byte) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFU;
}

uint32_t headerCrc(std::span<const uint8_t> header) {
    std::array<uint8_t, kBlock> zeroed{};
    std::ranges::copy(header, zeroed.begin());
    std::fill_n(zeroed.begin() + kHeaderCrcAt, 4, 0);
    return crc32(std::span(zeroed).first(header.size()));
}

void sealHeader(std::vector<uint8_t>& header) {
    writeLe(header, kHeaderCrcAt, headerCrc(header), 4);
}

std::array<uint8_t, 3> chsOf(uint64_t lba, unsigned heads, unsigned sectors) {
    const uint64_t cylinder = lba / (uint64_t{heads} * sectors);
    if (cylinder > kMostCylinder) {
        return kChsBeyond;
    }
    return {static_cast<uint8_t>(lba / sectors % heads),
            static_cast<uint8_t>((lba % sectors + 1) | ((cylinder >> 2) & 0xC0)),
            static_cast<uint8_t>(cylinder & 0xFF)};
}

// The CHS address of `lba` in the geometry the entry's own addresses were written in (xorriso
// writes 64 heads of 32 sectors, fdisk 255 of 63); where none explains them, the form past
// cylinder 1023.
std::array<uint8_t, 3> chsLike(std::span<const uint8_t> entry, uint64_t first, uint64_t last,
                               uint64_t lba) {
    const auto fits = [&](unsigned heads, unsigned sectors) {
        return std::ranges::equal(chsOf(first, heads, sectors), entry.subspan(kStartChsAt, 3)) &&
               std::ranges::equal(chsOf(last, heads, sectors), entry.subspan(kEndChsAt, 3));
    };
    for (const auto& [heads, sectors] : {std::pair(64U, 32U), std::pair(255U, 63U)}) {
        if (fits(heads, sectors)) {
            return chsOf(lba, heads, sectors);
        }
    }
    for (unsigned heads = 1; heads <= 255; ++heads) {
        for (unsigned sectors = 1; sectors <= 63; ++sectors) {
            if (fits(heads, sectors)) {
                return chsOf(lba, heads, sectors);
            }
        }
    }
    return kChsBeyond;
}

bool isEmptyGptEntry(std::span<const uint8_t> entry) {
    return std::ranges::all_of(entry.first(kTypeGuidSize), [](uint8_t b) { return b == 0; });
}

Result<std::vector<uint8_t>> readBytes(const PartitionTables::ReadAt& readAt, uint64_t offset,
                                       uint64_t length) {
    std::vector<uint8_t> bytes(length);
    const auto read = readAt(offset, bytes);
    if (!read) {
        return read.error();
    }
    bytes.resize(*read);
    return bytes;
}

}  // namespace

Result<PartitionTables> PartitionTables::read(const ReadAt& readAt, uint64_t length) {
    PartitionTables tables;
    tables.length_ = length;
    const auto first = readBytes(readAt, 0, kBlock);
    if (!first) {
        return first.error();
    }
    if (first->size() < kBlock) {
        return tables;
    }
    tables.readMbr(*first);
    if (auto done = tables.readGpt(readAt); !done) {
        return done.error();
    }
    if (auto done = tables.readAppleMap(readAt, *first); !done) {
        return done.error();
    }
    return tables;
}

void PartitionTables::readMbr(std::span<const uint8_t> first) {
    if (first[kMbrSignatureAt] != 0x55 || first[kMbrSignatureAt + 1] != 0xAA) {
        return;
    }
    for (size_t i = 0; i < 4; ++i) {
        const auto bytes = first.subspan(kMbrEntriesAt + i * kMbrEntrySize, kMbrEntrySize);
        MbrEntry entry{
            i, {bytes.begin(), bytes.end()}, readLe32(bytes, kFirstAt), readLe32(bytes, kCountAt)};
        if (entry.count == 0) {
            continue;
        }
        const bool coversAll = bytes[kTypeAt] == kProtectiveType && entry.count == kMostMbrCount;
        if (!coversAll && (entry.first + entry.count) * kBlock > length_) {
            unsound_ = "its MBR partition " + std::to_string(i + 1) + " ends past the image's end";
        }
        for (const auto& other : mbr_) {
            if (entry.first < other.first + other.count &&
                other.first < entry.first + entry.count) {
                unsound_ = "its MBR partitions " + std::to_string(other.index + 1) + " and " +
                           std::to_string(i + 1) + " overlap";
            }
        }
        mbr_.push_back(std::move(entry));
    }
}

Result<void> PartitionTables::readGpt(const ReadAt& readAt) {
    const auto block = readBytes(readAt, kBlock, kBlock);
    if (!block) {
        return block.error();
    }
    if (block->size() < kBlock || !std::ranges::equal(std::span(*block).first(8), kGptSignature)) {
        return {};
    }
    const auto refuse = [this](const std::string& why) -> Result<void> {
        unsound_ = "its GPT " + why;
        return {};
    };
    const size_t headerSize = readLe32(*block, kHeaderSizeAt);
    if (headerSize < kSmallestHeader || headerSize > kBlock) {
        return refuse("header gives a size of " + std::to_string(headerSize) + " bytes");
    }
    Gpt gpt;
    gpt.header.assign(block->begin(), block->begin() + static_cast<ptrdiff_t>(headerSize));
    if (headerCrc(gpt.header) != readLe32(gpt.header, kHeaderCrcAt)) {
        return refuse("header fails its CRC");
    }
    gpt.entriesLba = readLe64(gpt.header, kEntriesLbaAt);
    gpt.alternateLba = readLe64(gpt.header, kAlternateLbaAt);
    gpt.lastUsable = readLe64(gpt.header, kLastUsableAt);
    gpt.entrySize = readLe32(gpt.header, kEntrySizeAt);
    const uint64_t entriesBytes = uint64_t{readLe32(gpt.header, kEntryCountAt)} * gpt.entrySize;
    if (gpt.entrySize < kSmallestEntry || gpt.entrySize % 8 != 0 ||
        entriesBytes > kLargestEntries) {
        return refuse("header describes no entry array Kestrel understands");
    }
    if (length_ % kBlock != 0 || gpt.alternateLba != length_ / kBlock - 1) {
        return refuse("keeps its backup header elsewhere than at the image's last sector");
    }
    const auto entries = readBytes(readAt, gpt.entriesLba * kBlock, entriesBytes);
    if (!entries) {
        return entries.error();
    }
    gpt.entries = *entries;
    if (gpt.entries.size() < entriesBytes ||
        crc32(gpt.entries) != readLe32(gpt.header, kEntriesCrcAt)) {
        return refuse("partition entries fail their CRC");
    }
    const auto backup = readBytes(readAt, gpt.alternateLba * kBlock, headerSize);
    if (!backup) {
        return backup.error();
    }
    gpt.backupHeader = *backup;
    gpt.backupEntriesLba =
        gpt.backupHeader.size() == headerSize ? readLe64(gpt.backupHeader, kEntriesLbaAt) : 0;
    const auto backupEntries = readBytes(readAt, gpt.backupEntriesLba * kBlock, entriesBytes);
    if (!backupEntries) {
        return backupEntries.error();
    }
    // The backup must be the primary's twin, so that moving it loses nothing a tool would use.
    auto twin = gpt.header;
    writeLe(twin, kMyLbaAt, gpt.alternateLba, 8);
    writeLe(twin, kAlternateLbaAt, 1, 8);
    writeLe(twin, kEntriesLbaAt, gpt.backupEntriesLba, 8);
    sealHeader(twin);
    if (gpt.backupHeader != twin || *backupEntries != gpt.entries ||
        gpt.backupEntriesLba <= gpt.lastUsable ||
        gpt.backupEntriesLba * kBlock + entriesBytes > gpt.alternateLba * kBlock) {
        return refuse("backup at the image's end is not the twin of its primary header");
    }
    const uint64_t firstUsable = readLe64(gpt.header, kFirstUsableAt);
    std::vector<std::pair<uint64_t, uint64_t>> used;
    for (size_t at = 0; at < gpt.entries.size(); at += gpt.entrySize) {
        const auto entry = std::span(gpt.entries).subspan(at, gpt.entrySize);
        if (isEmptyGptEntry(entry)) {
            continue;
        }
        const uint64_t from = readLe64(entry, kEntryFirstLbaAt);
        const uint64_t to = readLe64(entry, kEntryLastLbaAt);
        const std::string name = "partition " + std::to_string(at / gpt.entrySize + 1);
        if (from > to || from < firstUsable || to > gpt.lastUsable) {
            return refuse(name + " lies outside its usable sectors");
        }
        if (std::ranges::any_of(used,
                                [&](const auto& u) { return from <= u.second && u.first <= to; })) {
            return refuse(name + " overlaps another");
        }
        used.emplace_back(from, to);
    }
    gpt_ = std::move(gpt);
    return {};
}

Result<void> PartitionTables::readAppleMap(const ReadAt& readAt, std::span<const uint8_t> first) {
    if (first[0] != 'E' || first[1] != 'R') {
        return {};
    }
    const uint64_t blockSize = uint64_t{first[2]} << 8 | first[3];
    if (blockSize != 512 && blockSize != 2048) {
        return {};
    }
    for (size_t i = 1; i <= kMostAppleEntries; ++i) {
        const auto entry = readBytes(readAt, i * blockSize, 16);
        if (!entry) {
            return entry.error();
        }
        if (entry->size() < 16 || (*entry)[0] != 'P' || (*entry)[1] != 'M') {
            return {};
        }
        const uint64_t end = (uint64_t{readBe32(*entry, 8)} + readBe32(*entry, 12)) * blockSize;
        if (end + kEndSlack >= length_) {
            unsound_ = "its Apple partition map's partition " + std::to_string(i) +
                       " ends with the image, and Kestrel does not grow that map";
        }
    }
    return {};
}

uint64_t PartitionTables::backupStart() const {
    return gpt_ ? gpt_->backupEntriesLba * kBlock : length_;
}

bool PartitionTables::mbrEntryGrows(const MbrEntry& entry) const {
    const uint64_t end = (entry.first + entry.count) * kBlock;
    const bool behind = std::ranges::any_of(
        mbr_, [&](const MbrEntry& other) { return other.first * kBlock >= end; });
    return end <= length_ && end + kEndSlack >= length_ && !behind;
}

bool PartitionTables::gptEntryGrows(size_t index) const {
    const auto entries = std::span(gpt_->entries);
    const auto entry = entries.subspan(index * gpt_->entrySize, gpt_->entrySize);
    if (isEmptyGptEntry(entry)) {
        return false;
    }
    const uint64_t last = readLe64(entry, kEntryLastLbaAt);
    for (size_t at = 0; at < entries.size(); at += gpt_->entrySize) {
        const auto other = entries.subspan(at, gpt_->entrySize);
        if (!isEmptyGptEntry(other) && readLe64(other, kEntryFirstLbaAt) > last) {
            return false;
        }
    }
    return (last + 1) * kBlock + kEndSlack >= (gpt_->lastUsable + 1) * kBlock;
}

std::optional<std::string> PartitionTables::refusal(uint64_t volumeEnd, uint64_t dataEnd) const {
    if (unsound_) {
        return unsound_;
    }
    const uint64_t length = grownLength(dataEnd);
    for (const auto& entry : mbr_) {
        const uint64_t end = (entry.first + entry.count) * kBlock;
        const std::string name = "its MBR partition " + std::to_string(entry.index + 1);
        if (mbrEntryGrows(entry)) {
            if (entry.bytes[kTypeAt] != kProtectiveType &&
                length / kBlock - entry.first > kMostMbrCount) {
                return name + " would pass the 2 TiB an MBR entry can count";
            }
        } else if (end + kEndSlack >= volumeEnd) {
            return name +
                   " ends with the volume, short of the image's end, and would no "
                   "longer hold what is added after it";
        }
    }
    return std::nullopt;
}

uint64_t PartitionTables::grownLength(uint64_t dataEnd) const {
    if (!gpt_) {
        return std::max(length_, dataEnd);
    }
    const uint64_t usableEnd = (gpt_->lastUsable + 1) * kBlock;
    if (dataEnd <= usableEnd) {
        return length_;
    }
    const uint64_t grown = dataEnd + (length_ - usableEnd);
    return (grown + kIsoSector - 1) / kIsoSector * kIsoSector;
}

std::vector<TableWrite> PartitionTables::writesFor(uint64_t dataAt, uint64_t dataEnd,
                                                   uint64_t length) const {
    std::vector<TableWrite> writes;
    if (gpt_) {
        const Gpt& gpt = *gpt_;
        const uint64_t shift = (length - length_) / kBlock;
        const uint64_t lastUsable = gpt.lastUsable + shift;
        auto entries = gpt.entries;
        for (size_t i = 0; i < entries.size() / gpt.entrySize; ++i) {
            const size_t at = i * gpt.entrySize + kEntryLastLbaAt;
            if (gptEntryGrows(i) && readLe64(entries, at) != lastUsable) {
                writeLe(entries, at, lastUsable, 8);
                writes.push_back({gpt.entriesLba * kBlock + at,
                                  {entries.begin() + static_cast<ptrdiff_t>(at),
                                   entries.begin() + static_cast<ptrdiff_t>(at) + 8}});
            }
        }
        if (shift == 0 && writes.empty()) {
            addMbrWrites(length, writes);
            return writes;
        }
        const uint32_t entriesCrc = crc32(entries);
        auto header = gpt.header;
        auto backup = gpt.backupHeader;
        for (auto* copy : {&header, &backup}) {
            writeLe(*copy, kLastUsableAt, lastUsable, 8);
            writeLe(*copy, kEntriesCrcAt, entriesCrc, 4);
        }
        writeLe(header, kAlternateLbaAt, gpt.alternateLba + shift, 8);
        writeLe(backup, kMyLbaAt, gpt.alternateLba + shift, 8);
        writeLe(backup, kEntriesLbaAt, gpt.backupEntriesLba + shift, 8);
        sealHeader(header);
        sealHeader(backup);

        // The old backup is cleared where the data does not cover it, so that no stale copy
        // of the table is left for a tool to find; the new one is written whole, with zeros
        // between its entries and its header.
        const uint64_t oldFrom = gpt.backupEntriesLba * kBlock;
        const uint64_t newFrom = oldFrom + shift * kBlock;
        const uint64_t oldTo = std::min(length_, newFrom);
        for (const auto& [from, to] : {std::pair(oldFrom, std::min(oldTo, dataAt)),
                                       std::pair(std::max(oldFrom, dataEnd), oldTo)}) {
            if (from < to) {
                writes.push_back({from, std::vector<uint8_t>(to - from)});
            }
        }
        std::vector<uint8_t> tail(length - newFrom);
        std::ranges::copy(entries, tail.begin());
        std::ranges::copy(backup, tail.end() - static_cast<ptrdiff_t>(kBlock));
        writes.push_back({newFrom, std::move(tail)});
        writes.push_back({kBlock, std::move(header)});
    }
    addMbrWrites(length, writes);
    return writes;
}

void PartitionTables::addMbrWrites(uint64_t length, std::vector<TableWrite>& writes) const {
    for (const auto& entry : mbr_) {
        if (!mbrEntryGrows(entry)) {
            continue;
        }
        auto bytes = entry.bytes;
        const uint64_t count = std::min(length / kBlock - entry.first, kMostMbrCount);
        writeLe(bytes, kCountAt, count, 4);
        const auto chs = chsLike(entry.bytes, entry.first, entry.first + entry.count - 1,
                                 entry.first + count - 1);
        std::ranges::copy(chs, bytes.begin() + kEndChsAt);
        if (bytes != entry.bytes) {
            writes.push_back({kMbrEntriesAt + entry.index * kMbrEntrySize, std::move(bytes)});
        }
    }
}

}  // namespace kestrel
