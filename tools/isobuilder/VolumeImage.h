// Where everything described by an IsoBuilder lands, and the bytes that go there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "isobuilder/IsoBuilder.h"

namespace kestrel::isobuilder {

class VolumeImage {
public:
    // A run of bytes to write at `offset` from the start of the volume.
    struct Chunk {
        uint64_t offset = 0;
        std::vector<uint8_t> bytes;
    };

    explicit VolumeImage(const IsoBuilder& builder);

    // Sectors the structures and file extents reach up to.
    uint32_t usedSectors() const { return usedSectors_; }
    // The volume space size recorded in the descriptor.
    uint32_t recordedSectors() const { return recordedSectors_; }
    uint32_t directoryLba(int directory) const;
    uint64_t recordOffset(int directory, const std::string& identifier) const;

    // Everything but the zero system area: descriptors, path tables, directory extents and
    // file contents.
    const std::vector<Chunk>& chunks() const { return chunks_; }

private:
    struct PlacedRecord {
        std::string identifier;
        uint32_t offset = 0;  // within the directory's extent
    };
    struct PlacedDirectory {
        uint32_t lba = 0;
        uint32_t sectors = 0;
        std::vector<PlacedRecord> records;
    };

    const PlacedDirectory& placed(int directory) const;
    void placeDirectories(const IsoBuilder& builder);
    void placeFiles(const IsoBuilder& builder);
    void encodeDescriptorsAndPathTables(const IsoBuilder& builder);
    void encodeDirectories(const IsoBuilder& builder);
    void addFileContents(const IsoBuilder& builder);

    uint32_t pathTableSize_ = 0;
    uint32_t littleEndianPathTableLba_ = 0;
    uint32_t bigEndianPathTableLba_ = 0;
    std::vector<PlacedDirectory> directories_;
    // The extent of each file record, in the order of directories and then their entries.
    std::vector<uint32_t> fileLbas_;
    uint32_t usedSectors_ = 0;
    uint32_t recordedSectors_ = 0;
    std::vector<Chunk> chunks_;
};

}  // namespace kestrel::isobuilder
