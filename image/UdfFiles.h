// A UDF file as its ICB records it: the file entry or extended file entry (ECMA-167 4/14.9,
// 4/14.17), its allocation descriptors (short, long, extended, with their continuation
// extents, 4/14.14), or its data embedded in the entry; and the file identifier descriptors
// (4/14.4) that a directory's data holds. Every position given is an absolute one in the
// image, so that a later edit can patch the very bytes that were read.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "image/UdfAddressing.h"
#include "image/UdfDescriptors.h"
#include "image/UdfNames.h"
#include "io/ImageSource.h"
#include "io/Result.h"

namespace kestrel {

enum class UdfAllocation : uint8_t { Short, Long, Extended, Embedded };

enum class UdfExtentType : uint8_t { Recorded, AllocatedNotRecorded, NotAllocated };

struct UdfExtent {
    UdfExtentType type = UdfExtentType::Recorded;
    uint32_t length = 0;  // bytes
    // Absolute; 0 for an extent that is not allocated. An extent in a metadata partition
    // runs on in the image only as far as the metadata file's extent it starts in;
    // UdfAddressing::locate places each of its blocks.
    uint32_t firstSector = 0;
    uint32_t block = 0;  // as recorded, in the partition `partition` names
    uint16_t partition = 0;
    uint64_t descriptorOffset = 0;  // where its allocation descriptor lies in the image
};

// ICB file types, ECMA-167 4/14.6.6 and OSTA UDF 2.3.5.2.
inline constexpr uint8_t kUdfDirectoryType = 4;

struct UdfFileEntry {
    uint32_t sector = 0;
    uint32_t block = 0;
    uint16_t partition = 0;
    bool extended = false;
    uint32_t descriptorLength = 0;
    uint8_t fileType = 0;
    uint64_t informationLength = 0;
    uint64_t informationLengthOffset = 0;  // in the image
    uint64_t blocksRecordedOffset = 0;     // in the image
    UdfTimestamp modified;
    UdfAllocation allocation = UdfAllocation::Short;
    // None for embedded data, which lies at `embeddedOffset`, `informationLength` bytes.
    std::vector<UdfExtent> extents;
    uint64_t embeddedOffset = 0;
    // Set when the descriptors' continuation could not all be read: the extents stop there.
    std::optional<std::string> cutShort;
    // The absolute sectors its allocation descriptors continue in, in the order read.
    std::vector<uint32_t> continuationSectors;
};

// The entry the ICB `icb` names; an error says why it is not a sound one. With
// `continuations`, the sectors of allocation descriptor continuations read before, a
// continuation is read only once: the entry's extents stop at one read before, and its
// sector is added otherwise. A walk over many identifiers thus reads each sector once.
Result<UdfFileEntry> readUdfFileEntry(const ImageSource& image, const UdfAddressing& addressing,
                                      const UdfLongAd& icb,
                                      std::set<uint32_t>* continuations = nullptr);

// The runs of sectors that `extent` takes in the image, in order: one for an extent of a
// physical partition, one per metadata file extent it crosses in a metadata partition; none
// for an extent that is not allocated, and only the runs before a block that cannot be placed.
std::vector<UdfAddressing::Located> udfExtentRuns(const UdfAddressing& addressing,
                                                  const UdfExtent& extent);

// File characteristics, ECMA-167 4/14.4.3.
enum UdfCharacteristic : uint8_t {
    kUdfHidden = 1,
    kUdfDirectory = 2,
    kUdfDeleted = 4,
    kUdfParent = 8,
};

struct UdfIdentifier {
    std::string name;
    uint8_t characteristics = 0;
    UdfLongAd icb;
    uint64_t offset = 0;  // in the image
};

struct UdfIdentifiers {
    std::vector<UdfIdentifier> identifiers;
    std::vector<uint32_t> sectors;  // that the directory's data was read from
    // Why the walk of the directory's data ended before its end, if it did.
    std::optional<std::string> stopped;
};

// The file identifiers of a directory's data, every one, deleted and parent ones too; a
// damaged one, or data that cannot be read, ends the walk there.
Result<UdfIdentifiers> readUdfIdentifiers(const ImageSource& image, const UdfAddressing& addressing,
                                          const UdfFileEntry& directory);

}  // namespace kestrel
