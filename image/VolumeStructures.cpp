#include "image/VolumeStructures.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <tuple>

#include "image/ByteOrder.h"
#include "image/IsoLayout.h"
#include "image/VolumePaths.h"

namespace kestrel {

namespace {

constexpr uint32_t kSystemAreaSectors = 16;
// A primary or supplementary descriptor's other path-table locations.
constexpr size_t kOptionalTypeLTableAt = 144;
constexpr size_t kTypeMTableAt = 148;
constexpr size_t kOptionalTypeMTableAt = 152;
// A descriptor is told by its type and the identifier behind it, bytes 0 to 5.
constexpr size_t kIdentifierEnd = 6;
constexpr size_t kEscapeSequencesAt = 88;
constexpr size_t kEscapeSequencesLength = 32;
// An El Torito boot record names its catalog's sector here.
constexpr size_t kBootCatalogAt = 71;
constexpr std::string_view kElToritoSystem = "EL TORITO ";
// The catalog is a row of 32-byte entries: validation, default, then sections of entries.
constexpr size_t kCatalogEntrySize = 32;
constexpr uint8_t kSectionHeader = 0x90;
constexpr uint8_t kFinalSectionHeader = 0x91;
constexpr uint8_t kBootable = 0x88;
constexpr uint8_t kNotBootable = 0x00;
constexpr uint64_t kVirtualSectorSize = 512;

std::string_view textAt(std::span<const uint8_t> sector, size_t at, size_t length) {
    return {reinterpret_cast<const char*>(sector.data() + at), length};
}

uint64_t sectorsFor(uint64_t bytes) {
    return (bytes + kSectorSize - 1) / kSectorSize;
}

std::string descriptorName(std::span<const uint8_t> sector) {
    switch (sector[0]) {
        case 0:
            return "the boot record";
        case kPrimaryType:
            return "the primary volume descriptor";
        case kSupplementaryType: {
            const bool joliet =
                sector.size() >= kEscapeSequencesAt + kEscapeSequencesLength &&
                textAt(sector, kEscapeSequencesAt, kEscapeSequencesLength).starts_with("%/");
            return joliet ? "the Joliet volume descriptor" : "a supplementary volume descriptor";
        }
        case kTerminatorType:
            return "the volume descriptor set terminator";
        default:
            return "a volume partition descriptor";
    }
}

void addPathTables(std::span<const uint8_t> sector, std::vector<VolumeStructure>& structures) {
    const uint64_t sectors = sectorsFor(readLe32(sector, kPathTableSizeAt));
    const std::string tree = sector[0] == kSupplementaryType ? "the Joliet " : "the ";
    for (const auto& [at, bigEndian, name] :
         {std::tuple{kTypeLTableAt, false, "type L path table"},
          std::tuple{kOptionalTypeLTableAt, false, "optional type L path table"},
          std::tuple{kTypeMTableAt, true, "type M path table"},
          std::tuple{kOptionalTypeMTableAt, true, "optional type M path table"}}) {
        const uint32_t lba = bigEndian ? readBe32(sector, at) : readLe32(sector, at);
        if (lba != 0) {
            structures.push_back({lba, sectors, StructureKind::PathTable, tree + name});
        }
    }
}

// The boot catalog and each boot image it names.
Result<void> addBootCatalog(const ImageSource& image, uint32_t catalogLba,
                            std::vector<VolumeStructure>& structures) {
    structures.push_back({catalogLba, 1, StructureKind::Boot, "the El Torito boot catalog"});
    std::array<uint8_t, kSectorSize> catalog{};
    const auto read = image.readAt(uint64_t{catalogLba} << kSectorShift, catalog);
    if (!read) {
        return read.error();
    }
    const auto addImage = [&structures](std::span<const uint8_t> entry) {
        const uint32_t lba = readLe32(entry, 8);
        const uint64_t bytes = uint64_t{readLe16(entry, 6)} * kVirtualSectorSize;
        if (lba != 0) {
            structures.push_back({lba, std::max<uint64_t>(1, sectorsFor(bytes)),
                                  StructureKind::Boot, "an El Torito boot image"});
        }
    };
    const auto entry = [&catalog](size_t n) {
        return std::span<const uint8_t>(catalog).subspan(n * kCatalogEntrySize, kCatalogEntrySize);
    };
    const size_t entries = *read / kCatalogEntrySize;
    if (entries < 2) {
        return {};
    }
    addImage(entry(1));
    size_t inSection = 0;
    bool finalSection = false;
    for (size_t n = 2; n < entries; ++n) {
        const uint8_t indicator = entry(n)[0];
        if (inSection > 0 && (indicator == kBootable || indicator == kNotBootable)) {
            addImage(entry(n));
            --inSection;
        } else if (inSection == 0 && !finalSection &&
                   (indicator == kSectionHeader || indicator == kFinalSectionHeader)) {
            inSection = readLe16(entry(n), 2);
            finalSection = indicator == kFinalSectionHeader;
        } else if (inSection == 0) {
            break;
        }
    }
    return {};
}

// The system area, each descriptor from sector 16 to the last one in a row, and what the
// descriptors point at besides the directories.
Result<void> addDescriptors(const ImageSource& image, std::vector<VolumeStructure>& structures) {
    structures.push_back({0, kSystemAreaSectors, StructureKind::SystemArea, "the system area"});
    std::array<uint8_t, kSectorSize> sector{};
    std::optional<uint32_t> bootCatalog;
    for (uint32_t lba = kSystemAreaSectors; lba < kSystemAreaSectors + kMostDescriptorSectors;
         ++lba) {
        const auto read = image.readAt(uint64_t{lba} << kSectorShift, sector);
        if (!read) {
            return read.error();
        }
        const auto name = *read == sector.size() ? structureNamedBy(lba, sector) : std::nullopt;
        if (!name) {
            break;
        }
        structures.push_back({lba, 1, StructureKind::Descriptor, *name});
        if (textAt(sector, 1, 5) == "CD001" &&
            (sector[0] == kPrimaryType || sector[0] == kSupplementaryType)) {
            addPathTables(sector, structures);
        }
        if (sector[0] == 0 && textAt(sector, 7, kElToritoSystem.size()) == kElToritoSystem) {
            bootCatalog = readLe32(sector, kBootCatalogAt);
        }
    }
    if (bootCatalog) {
        if (auto added = addBootCatalog(image, *bootCatalog, structures); !added) {
            return added;
        }
    }
    return {};
}

void addUdf(const std::vector<UdfStructure>& udf, std::vector<VolumeStructure>& structures) {
    for (const auto& structure : udf) {
        structures.push_back(
            {structure.lba, structure.sectors,
             structure.directory ? StructureKind::UdfDirectory : StructureKind::UdfDescriptor,
             structure.what});
    }
}

// Each directory extent once, for the first directory of the tree that names it.
void addDirectories(const ImageSource& image, const std::vector<PathTableDirectory>& directories,
                    bool joliet, std::vector<VolumeStructure>& structures) {
    for (const auto& directory : directories) {
        if (directory.sameAs != 0) {
            continue;
        }
        std::array<uint8_t, record::kMaximumLength> dot{};
        const auto read = image.readAt(uint64_t{directory.extentLba} << kSectorShift, dot);
        const auto dotRecord = read ? parseDirectoryRecord(std::span(dot).first(*read))
                                    : std::optional<DirectoryRecord>();
        structures.push_back({directory.extentLba,
                              sectorsFor(dotRecord ? dotRecord->dataLength : kSectorSize),
                              StructureKind::Directory,
                              {},
                              directory.number,
                              joliet});
    }
}

}  // namespace

Result<VolumeStructures> VolumeStructures::read(const ImageSource& image, const Volume& volume,
                                                const UdfFileSystem* udf) {
    VolumeStructures read;
    auto& structures = read.structures_;
    if (auto added = addDescriptors(image, structures); !added) {
        return added.error();
    }
    // A volume with UDF alone has no ISO 9660 directory: its directories are the UDF tree's.
    if (!volume.udfOnly) {
        read.directories_ = volume.directories;
        addDirectories(image, read.directories_, false, structures);
    }
    // A Joliet tree that cannot be read leaves its directories out; the ISO 9660 tree, which
    // every listing reads, is there all the same.
    if (volume.joliet) {
        if (auto joliet = readDescriptorTree(image, *volume.joliet)) {
            read.jolietDirectories_ = std::move(*joliet);
            addDirectories(image, read.jolietDirectories_, true, structures);
        }
    }
    if (udf) {
        addUdf(udfStructures(image, *udf), structures);
    } else if (volume.features.udf) {
        const auto readHere = readUdfFileSystem(image);
        addUdf(readHere ? udfStructures(image, *readHere) : udfAnchors(image), structures);
    }
    std::ranges::stable_sort(structures, {}, &VolumeStructure::lba);
    uint64_t furthest = 0;
    for (const auto& structure : structures) {
        furthest = std::max(furthest, structure.lba + structure.sectors);
        read.furthestEnd_.push_back(furthest);
    }
    return read;
}

// The last structure that starts before the range ends, then back while one before it may
// still reach into the range.
std::optional<VolumeStructure> VolumeStructures::overlapping(uint64_t lba, uint64_t sectors) const {
    if (sectors == 0) {
        return std::nullopt;
    }
    const auto after =
        std::ranges::upper_bound(structures_, lba + sectors - 1, {}, &VolumeStructure::lba);
    std::optional<VolumeStructure> first;
    for (auto i = static_cast<size_t>(after - structures_.begin()); i-- > 0;) {
        if (furthestEnd_[i] <= lba) {
            break;
        }
        const auto& structure = structures_[i];
        if (structure.sectors > 0 && lba < structure.lba + structure.sectors) {
            first = structure;
        }
    }
    return first;
}

std::string VolumeStructures::whatIs(const VolumeStructure& structure) const {
    if (structure.kind != StructureKind::Directory) {
        return structure.what;
    }
    return structure.joliet ? "the Joliet directory " +
                                  jolietDirectoryPath(jolietDirectories_, structure.directory)
                            : "directory " + directoryPath(directories_, structure.directory);
}

std::optional<std::string> VolumeStructures::noteForLba(uint32_t lba) const {
    const auto structure = overlapping(lba, 1);
    if (!structure) {
        return std::nullopt;
    }
    return "LBA " + std::to_string(lba) + (structure->lba == lba ? " is " : " lies in ") +
           whatIs(*structure);
}

std::optional<std::string> structureNamedBy(uint64_t lba, std::span<const uint8_t> sector) {
    if (lba < kSystemAreaSectors) {
        return "the system area";
    }
    if (sector.size() < kIdentifierEnd) {
        return std::nullopt;
    }
    const auto identifier = textAt(sector, 1, 5);
    if (identifier == "CD001") {
        return descriptorName(sector);
    }
    if (identifier == "BEA01" || identifier == "NSR02" || identifier == "NSR03" ||
        identifier == "TEA01" || identifier == "BOOT2" || identifier == "CDW02") {
        return "the UDF volume recognition sequence";
    }
    return std::nullopt;
}

std::string sectorsText(uint64_t lba, uint64_t sectors) {
    return sectors <= 1
               ? "sector " + std::to_string(lba)
               : "sectors " + std::to_string(lba) + " to " + std::to_string(lba + sectors - 1);
}

}  // namespace kestrel
