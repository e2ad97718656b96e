#include "isobuilder/VolumeImage.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "isobuilder/DirectoryRecord.h"
#include "isobuilder/VolumeDescriptors.h"

namespace kestrel::isobuilder {

namespace {

constexpr uint32_t kPrimaryDescriptorLba = 16;
constexpr uint32_t kTerminatorLba = 17;
// CD mastering leaves sector 18 free; DVD mastering keeps sectors 18-257 for UDF structures.
constexpr uint32_t kCdPathTableLba = 19;
constexpr uint32_t kDvdPathTableLba = 258;

const std::string kSelfIdentifier(1, '\0');
const std::string kParentIdentifier(1, '\1');

uint64_t sectorsFor(uint64_t bytes) {
    return (bytes + kSectorSize - 1) / kSectorSize;
}

uint64_t fileExtentSectors(const FileSpec& file) {
    return sectorsFor(std::max<uint64_t>(file.size, file.content.size()));
}

uint32_t checkedSectors(uint64_t sectors) {
    if (sectors > std::numeric_limits<uint32_t>::max()) {
        throw std::runtime_error("the volume would exceed 2^32 sectors");
    }
    return static_cast<uint32_t>(sectors);
}

}  // namespace

VolumeImage::VolumeImage(const IsoBuilder& builder) {
    placeDirectories(builder);
    placeFiles(builder);
    recordedSectors_ = builder.volumeSectors_.value_or(usedSectors_);
    encodeDescriptorsAndPathTables(builder);
    encodeDirectories(builder);
    addFileContents(builder);
}

const VolumeImage::PlacedDirectory& VolumeImage::placed(int directory) const {
    if (directory < 1 || static_cast<size_t>(directory) > directories_.size()) {
        throw std::out_of_range("no directory number " + std::to_string(directory));
    }
    return directories_[directory - 1];
}

uint32_t VolumeImage::directoryLba(int directory) const {
    return placed(directory).lba;
}

uint64_t VolumeImage::recordOffset(int directory, const std::string& identifier) const {
    const PlacedDirectory& dir = placed(directory);
    for (const PlacedRecord& record : dir.records) {
        if (record.identifier == identifier) {
            return uint64_t{dir.lba} * kSectorSize + record.offset;
        }
    }
    throw std::out_of_range("directory " + std::to_string(directory) + " has no record \"" +
                            identifier + "\"");
}

void VolumeImage::placeDirectories(const IsoBuilder& builder) {
    for (const IsoBuilder::Directory& dir : builder.directories_) {
        pathTableSize_ += static_cast<uint32_t>(pathTableRecordLength(dir.identifier.size()));
    }
    for (const auto& entry : builder.pathTableOnly_) {
        pathTableSize_ += static_cast<uint32_t>(pathTableRecordLength(entry.identifier.size()));
    }
    const uint32_t pathTableSectors =
        std::max<uint32_t>(1, static_cast<uint32_t>(sectorsFor(pathTableSize_)));
    littleEndianPathTableLba_ =
        builder.layout_ == Layout::CdRomXa ? kCdPathTableLba : kDvdPathTableLba;
    bigEndianPathTableLba_ = littleEndianPathTableLba_ + pathTableSectors;

    uint64_t nextLba = bigEndianPathTableLba_ + pathTableSectors;
    for (const IsoBuilder::Directory& dir : builder.directories_) {
        std::vector<std::string> identifiers = {kSelfIdentifier, kParentIdentifier};
        for (const IsoBuilder::Directory::Entry& entry : dir.entries) {
            identifiers.push_back(entry.isDirectory
                                      ? builder.directories_[entry.directory - 1].identifier
                                      : entry.file.identifier);
        }
        PlacedDirectory placedDir;
        uint32_t end = 0;
        for (const std::string& identifier : identifiers) {
            const size_t length =
                directoryRecordLength(identifier.size(), builder.systemUseLength_);
            if (length > kMaximumRecordLength) {
                throw std::invalid_argument("the record for \"" + identifier + "\" would be " +
                                            std::to_string(length) + " bytes long");
            }
            // A record that does not fit in the rest of its sector starts the next one.
            if (end % kSectorSize + length > kSectorSize) {
                end = (end / kSectorSize + 1) * kSectorSize;
            }
            placedDir.records.push_back({identifier, end});
            end += static_cast<uint32_t>(length);
        }
        placedDir.sectors = std::max(dir.minimumSectors, static_cast<uint32_t>(sectorsFor(end)));
        placedDir.lba = checkedSectors(nextLba);
        nextLba += placedDir.sectors;
        directories_.push_back(std::move(placedDir));
    }
    usedSectors_ = checkedSectors(nextLba);
}

void VolumeImage::placeFiles(const IsoBuilder& builder) {
    uint64_t nextLba = usedSectors_;
    uint64_t end = usedSectors_;
    for (const IsoBuilder::Directory& dir : builder.directories_) {
        for (const IsoBuilder::Directory::Entry& entry : dir.entries) {
            if (entry.isDirectory) {
                continue;
            }
            const uint64_t sectors = fileExtentSectors(entry.file);
            const uint64_t lba = entry.file.lba.value_or(nextLba);
            if (!entry.file.lba) {
                nextLba += sectors;
            }
            fileLbas_.push_back(checkedSectors(lba));
            end = std::max(end, lba + sectors);
        }
    }
    usedSectors_ = checkedSectors(end);
}

void VolumeImage::encodeDescriptorsAndPathTables(const IsoBuilder& builder) {
    const PlacedDirectory& root = directories_.front();
    PrimaryDescriptorFields descriptor;
    descriptor.layout = builder.layout_;
    descriptor.volumeIdentifier = builder.volumeIdentifier_;
    descriptor.volumeSectors = recordedSectors_;
    descriptor.pathTableSize = pathTableSize_;
    descriptor.littleEndianPathTableLba = littleEndianPathTableLba_;
    descriptor.bigEndianPathTableLba = bigEndianPathTableLba_;
    descriptor.root = {kSelfIdentifier, root.lba, root.sectors * kSectorSize, RecordDate{},
                       kDirectoryFlag};
    chunks_.push_back(
        {uint64_t{kPrimaryDescriptorLba} * kSectorSize, encodePrimaryDescriptor(descriptor)});
    chunks_.push_back({uint64_t{kTerminatorLba} * kSectorSize, encodeTerminator()});

    std::vector<PathTableEntry> entries;
    for (size_t i = 0; i < directories_.size(); ++i) {
        const IsoBuilder::Directory& dir = builder.directories_[i];
        entries.push_back({dir.identifier, directories_[i].lba, static_cast<uint16_t>(dir.parent)});
    }
    for (const auto& entry : builder.pathTableOnly_) {
        entries.push_back({entry.identifier,
                           directories_[entry.directory - 1].lba + entry.sectorsIn, entry.parent});
    }
    chunks_.push_back({uint64_t{littleEndianPathTableLba_} * kSectorSize,
                       encodePathTable(entries, /*bigEndian=*/false)});
    chunks_.push_back({uint64_t{bigEndianPathTableLba_} * kSectorSize,
                       encodePathTable(entries, /*bigEndian=*/true)});
}

void VolumeImage::encodeDirectories(const IsoBuilder& builder) {
    const std::vector<uint8_t> directoryUse =
        systemUseArea(builder.layout_, builder.systemUseLength_, /*isDirectory=*/true);
    const std::vector<uint8_t> fileUse =
        systemUseArea(builder.layout_, builder.systemUseLength_, /*isDirectory=*/false);
    auto directoryRecord = [&](const std::string& identifier, int number) {
        const PlacedDirectory& target = directories_[number - 1];
        return RecordFields{identifier, target.lba, target.sectors * kSectorSize, RecordDate{},
                            kDirectoryFlag};
    };

    size_t fileIndex = 0;
    for (size_t i = 0; i < directories_.size(); ++i) {
        const IsoBuilder::Directory& dir = builder.directories_[i];
        const PlacedDirectory& placedDir = directories_[i];
        std::vector<uint8_t> extent(size_t{placedDir.sectors} * kSectorSize, 0);
        encodeDirectoryRecord(&extent[placedDir.records[0].offset],
                              directoryRecord(kSelfIdentifier, static_cast<int>(i + 1)),
                              directoryUse);
        encodeDirectoryRecord(&extent[placedDir.records[1].offset],
                              directoryRecord(kParentIdentifier, dir.parent), directoryUse);
        for (size_t e = 0; e < dir.entries.size(); ++e) {
            const IsoBuilder::Directory::Entry& entry = dir.entries[e];
            uint8_t* out = &extent[placedDir.records[e + 2].offset];
            if (entry.isDirectory) {
                const std::string& identifier =
                    builder.directories_[entry.directory - 1].identifier;
                encodeDirectoryRecord(out, directoryRecord(identifier, entry.directory),
                                      directoryUse);
            } else {
                const FileSpec& file = entry.file;
                encodeDirectoryRecord(
                    out,
                    {file.identifier, fileLbas_[fileIndex++], file.size, file.date, file.flags},
                    fileUse);
            }
        }
        chunks_.push_back({uint64_t{placedDir.lba} * kSectorSize, std::move(extent)});
    }
}

void VolumeImage::addFileContents(const IsoBuilder& builder) {
    size_t fileIndex = 0;
    for (const IsoBuilder::Directory& dir : builder.directories_) {
        for (const IsoBuilder::Directory::Entry& entry : dir.entries) {
            if (entry.isDirectory) {
                continue;
            }
            const uint32_t lba = fileLbas_[fileIndex++];
            if (!entry.file.content.empty()) {
                chunks_.push_back({uint64_t{lba} * kSectorSize, entry.file.content});
            }
        }
    }
}

}  // namespace kestrel::isobuilder
