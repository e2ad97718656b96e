// The UDF twin of an ISO 9660 record on a bridge image: the file entry whose allocation
// descriptors name the same run of sectors and length, one descriptor for each gigabyte or
// less. A record edit rewrites the twin's descriptors (their blocks and lengths, and their
// number when the length needs more or fewer), its information length and blocks recorded,
// then the entry's CRC and checksum, so that readers of the UDF file system see what readers
// of ISO 9660 see.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
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
    uint64_t dataLength = 0;      // its extents' bytes, which follow each other on the disc
    uint32_t partitionStart = 0;  // the absolute sector of the extent's partition
    uint32_t partitionSectors = 0;
    UdfPartitionPlaces partitionPlaces;
    // The partition's unallocated space bitmap, where it keeps one.
    std::optional<UdfVolumeExtent> spaceBitmap;
    // The metadata mirror's copy of the entry, where it keeps one apart: it is patched alike.
    std::optional<uint32_t> mirrorSector;
};

// The twin that is `entry`: refused when its data is described in a way this does not rewrite
// (embedded in the entry, no extent, extents apart from each other, an extended descriptor,
// descriptors continued elsewhere, a metadata partition).
Result<UdfTwin> udfTwinOf(const UdfVolume& volume, const UdfFileEntry& entry);

// A bridge image's UDF files, found by their data.
class UdfView {
public:
    static Result<UdfView> read(const ImageSource& image);

    // The one file whose data is the `length` bytes from `lba`, in one run of sectors; where
    // several are, the one named `name` in any case. Why none is, otherwise.
    Result<UdfTwin> twin(uint32_t lba, uint64_t length, const std::string& name) const;
    // Records that the twin now names `lba` and, when given, `size`, as patching it made it.
    void update(const UdfTwin& twin, uint32_t lba, std::optional<uint64_t> size);

private:
    UdfVolume volume_;
    std::vector<UdfEntry> files_;
    std::multimap<std::pair<uint32_t, uint64_t>, size_t> byData_;
};

// Rewrites the twin's entry for the record's new extent, `lba`, and, when given, `size`.
// Refuses, writing nothing, when the entry no longer holds what was read, has no room for the
// descriptors the size needs, or the new extent lies outside the twin's partition.
Result<void> patchUdfTwin(JournalEdit& edit, const UdfTwin& twin, uint32_t lba,
                          std::optional<uint64_t> size);

}  // namespace kestrel
