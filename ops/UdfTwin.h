// The UDF twin of an ISO 9660 record on a bridge image: the file entry whose one allocation
// descriptor names the same extent and length. A record edit rewrites the twin's descriptor
// (its block and length), its information length and blocks recorded, then the entry's CRC
// and checksum, so that readers of the UDF file system see what readers of ISO 9660 see.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "image/DirectoryRecord.h"
#include "image/UdfVolume.h"
#include "journal/JournalEdit.h"

namespace kestrel {

// Where the length of a UDF partition is recorded: its descriptor in the main and in the
// reserve sequence, and the size table of the integrity descriptor, at the index of the
// partition map that names it.
struct UdfPartitionPlaces {
    UdfVolumeExtent mainSequence;
    UdfVolumeExtent reserveSequence;
    UdfVolumeExtent integritySequence;
    uint16_t number = 0;
    uint16_t mapIndex = 0;
};

struct UdfTwin {
    UdfFileEntry entry;
    uint32_t partitionStart = 0;  // the absolute sector of the extent's partition
    uint32_t partitionSectors = 0;
    UdfPartitionPlaces partitionPlaces;
};

// The twin that is `entry`: refused when its data is described in a way this does not rewrite
// (embedded in the entry, no extent, an extended descriptor, a metadata partition).
Result<UdfTwin> udfTwinOf(const UdfVolume& volume, const UdfFileEntry& entry);

// A bridge image's UDF files, found by their data.
class UdfView {
public:
    static Result<UdfView> read(const ImageSource& image);

    // The one file whose only extent is `extent`; where several are, the one named `name` in
    // any case. Why none is, otherwise.
    Result<UdfTwin> twin(const Extent& extent, const std::string& name) const;
    // Records that the twin now names `lba` and, when given, `size`, as patching it made it.
    void update(const UdfTwin& twin, uint32_t lba, std::optional<uint32_t> size);

private:
    UdfVolume volume_;
    std::vector<UdfEntry> files_;
    std::unordered_multimap<uint64_t, size_t> byExtent_;
};

// Rewrites the twin's entry for the record's new extent, `lba`, and, when given, `size`.
// Refuses, writing nothing, when the entry no longer holds what was read, or the new extent
// lies outside the twin's partition.
Result<void> patchUdfTwin(JournalEdit& edit, const UdfTwin& twin, uint32_t lba,
                          std::optional<uint32_t> size);

}  // namespace kestrel
