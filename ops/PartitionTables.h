// The partition tables a hybrid image carries for booting from a USB stick (an MBR, a GPT, an
// Apple partition map), as they bear on growing the image at its end: whether they can grow
// with it soundly, and the bytes that make them describe the longer image. A partition that
// ends with the image grows to end with it again; the GPT's backup moves to the new end.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/Result.h"

namespace kestrel {

struct TableWrite {
    uint64_t offset = 0;
    std::vector<uint8_t> bytes;
};

class PartitionTables {
public:
    using ReadAt = std::function<Result<size_t>(uint64_t, std::span<uint8_t>)>;

    // Reads the tables at the start of an image `length` bytes long, and its GPT's backup.
    static Result<PartitionTables> read(const ReadAt& readAt, uint64_t length);

    // Why the tables are not understood well enough to change (a CRC that fails, partitions
    // that overlap or pass the image's end, a backup GPT elsewhere than at the end); nothing
    // when they are.
    const std::optional<std::string>& unsound() const { return unsound_; }
    // Where the bytes the tables keep at the image's end begin: the GPT's backup entries, or
    // the image's end without a GPT. What lies between the volume and there must be zeros.
    uint64_t backupStart() const;
    // Why the image cannot grow to hold data up to `dataEnd` past a volume that ends at
    // `volumeEnd`; nothing when the tables grow with it.
    std::optional<std::string> refusal(uint64_t volumeEnd, uint64_t dataEnd) const;
    // The image's length once it holds data up to `dataEnd`: with a GPT, room for its backup
    // follows, and the length stays a whole number of 2048-byte sectors.
    uint64_t grownLength(uint64_t dataEnd) const;
    // The writes that make the tables describe the image grown to `length`, the data at
    // [dataAt, dataEnd) left to its own writes. None cross each other or the data.
    std::vector<TableWrite> writesFor(uint64_t dataAt, uint64_t dataEnd, uint64_t length) const;

private:
    struct MbrEntry {
        size_t index = 0;
        std::vector<uint8_t> bytes;  // the 16 of the entry
        uint64_t first = 0;
        uint64_t count = 0;
    };
    struct Gpt {
        std::vector<uint8_t> header;  // the primary's, as long as it says it is
        std::vector<uint8_t> backupHeader;
        std::vector<uint8_t> entries;
        uint64_t entriesLba = 0;
        uint64_t backupEntriesLba = 0;
        uint64_t alternateLba = 0;
        uint64_t lastUsable = 0;
        uint32_t entrySize = 0;
    };

    bool mbrEntryGrows(const MbrEntry& entry) const;
    bool gptEntryGrows(size_t index) const;
    void readMbr(std::span<const uint8_t> first);
    void addMbrWrites(uint64_t length, std::vector<TableWrite>& writes) const;
    Result<void> readGpt(const ReadAt& readAt);
    Result<void> readAppleMap(const ReadAt& readAt, std::span<const uint8_t> first);

    uint64_t length_ = 0;
    std::vector<MbrEntry> mbr_;  // the entries that hold sectors
    std::optional<Gpt> gpt_;
    std::optional<std::string> unsound_;
};

}  // namespace kestrel
