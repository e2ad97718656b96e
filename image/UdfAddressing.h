// Where a logical block of a UDF partition lies in the image: a physical partition's blocks
// follow its start sector; a metadata partition's (OSTA UDF 2.2.10) are the data of its
// metadata file, laid out by that file's extents. Every block is checked against its
// partition and the image before a sector is named.
#pragma once

#include <cstdint>
#include <vector>

#include "image/UdfDescriptors.h"
#include "io/Result.h"

namespace kestrel {

class UdfAddressing {
public:
    // Blocks of the metadata partition's physical partition, in the metadata file's order.
    struct Run {
        uint32_t block = 0;
        uint32_t blocks = 0;
        bool operator==(const Run&) const = default;
    };
    // From `sector`, `blocks` blocks of the partition follow one another in the image.
    struct Located {
        uint32_t sector = 0;
        uint32_t blocks = 0;
    };

    UdfAddressing() = default;
    UdfAddressing(const UdfVolumeDescriptors& descriptors, uint64_t imageSectors);

    void setMetadataRuns(size_t map, std::vector<Run> runs);
    size_t mapCount() const { return maps_.size(); }
    // The physical map of the partition a metadata map lies in.
    Result<uint16_t> physicalMapOf(size_t metadataMap) const;

    Result<Located> locate(uint16_t map, uint32_t block) const;
    // `blocks` blocks from `block`, all inside the partition and the image.
    Result<void> checkRange(uint16_t map, uint32_t block, uint64_t blocks) const;

private:
    std::vector<UdfPartitionMap> maps_;
    std::vector<UdfPartition> partitions_;
    std::vector<std::vector<Run>> metadataRuns_;
    // The metadata block each run starts at, for a binary search.
    std::vector<std::vector<uint64_t>> metadataFirsts_;
    uint64_t imageSectors_ = 0;

    Result<Located> locatePhysical(size_t partition, uint32_t block) const;
};

}  // namespace kestrel
