// The bytes of a new file's directory records: the primary record, with the CD-ROM XA
// attributes and Rock Ridge entries its directory's records carry, and its Joliet twin.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "image/DirectoryRecord.h"
#include "io/Result.h"

namespace kestrel {

// The 7-byte date of a record: `when` in UTC.
std::array<uint8_t, 7> recordDate(std::time_t when);

// A plain file's record of `identifier` at `extent`, `systemUse` behind it; refused when it
// would pass the 255 bytes a record holds.
Result<std::vector<uint8_t>> fileRecord(const std::string& identifier, const Extent& extent,
                                        const std::array<uint8_t, 7>& date,
                                        const std::vector<uint8_t>& systemUse);

// The most bytes one record of a chain describes: whole sectors, as makers cut a file of 4 GiB
// or more.
inline constexpr uint32_t kLargestChainedExtent = 0xFFFFF800;

// The records of a file of `size` bytes from LBA `lba`, each a copy of `model` (the file's
// first record) for an extent of at most kLargestChainedExtent bytes, every one but the last
// flagged as followed by another: one record for a file under 4 GiB.
std::vector<uint8_t> chainedRecords(std::span<const uint8_t> model, uint32_t lba, uint64_t size);

// The system use area of a new file in a directory whose records are like `model` (a file's
// record, or the directory's own "." when it holds no file): its XA attributes, and its Rock
// Ridge entries (RR, PX, TF, NM) made for a file named `longName`, modified at `when`. Empty
// where the model carries neither.
std::vector<uint8_t> systemUseLike(const DirectoryRecord& model, const std::string& longName,
                                   std::time_t when);

// The UCS-2 identifier of a Joliet record named `name`, with ";1" when `versioned`; refused
// with the reason when Joliet cannot hold the name.
Result<std::string> jolietIdentifier(const std::string& name, bool versioned);

}  // namespace kestrel
