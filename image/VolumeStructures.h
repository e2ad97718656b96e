// The volume's own structures, which no file's data should overwrite: the system area (where
// hybrid images keep their partition tables), each volume descriptor, the path tables, every
// directory of the ISO 9660 and Joliet trees, the El Torito boot catalog and the boot images
// it names, and the UDF file system's own structures. A volume with UDF alone has the system
// area, the recognition sequence and the UDF structures.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "image/PathTable.h"
#include "image/UdfStructures.h"
#include "image/Volume.h"
#include "io/ImageSource.h"

namespace kestrel {

// A UDF directory is its identifiers; every other UDF structure is a UdfDescriptor.
enum class StructureKind {
    SystemArea,
    Descriptor,
    PathTable,
    Directory,
    Boot,
    UdfDescriptor,
    UdfDirectory
};

struct VolumeStructure {
    uint32_t lba = 0;
    uint64_t sectors = 0;
    StructureKind kind = StructureKind::SystemArea;
    // What it is, as a sentence names it ("the primary volume descriptor", "the type L path
    // table", "the UDF file entry of /DOCS"); for an ISO 9660 or Joliet directory, named on
    // demand from its number in its tree.
    std::string what;
    DirectoryNumber directory = 0;
    bool joliet = false;
};

class VolumeStructures {
public:
    // The structures of the volume read from `image`. A directory whose "." record cannot be
    // read is taken to be one sector long; an extent that several directories name is listed
    // once, for the first of them, so the work stays in proportion to the image's sectors.
    // The UDF structures are those of `udf`, read before; without it, of the UDF file system
    // read here when the volume has one, or only its anchors when that cannot be read.
    static Result<VolumeStructures> read(const ImageSource& image, const Volume& volume,
                                         const UdfFileSystem* udf = nullptr);

    // By LBA.
    const std::vector<VolumeStructure>& all() const { return structures_; }
    // The first structure that sectors [lba, lba + sectors) overlap.
    std::optional<VolumeStructure> overlapping(uint64_t lba, uint64_t sectors) const;
    // "the primary volume descriptor", "directory /DATA", "the Joliet directory /Data".
    std::string whatIs(const VolumeStructure& structure) const;
    // "LBA 16 is the primary volume descriptor", when a record pointed at `lba` would point
    // into a structure.
    std::optional<std::string> noteForLba(uint32_t lba) const;

private:
    std::vector<VolumeStructure> structures_;
    std::vector<uint64_t> furthestEnd_;  // of structures_[0..i], for the look-up
    std::vector<PathTableDirectory> directories_;
    std::vector<PathTableDirectory> jolietDirectories_;
};

// What a sector at `lba` whose bytes begin with `sector` is, when its place and bytes alone
// tell: the system area, or a volume descriptor by its type ("the primary volume descriptor").
std::optional<std::string> structureNamedBy(uint64_t lba, std::span<const uint8_t> sector);

// "sector 16, the primary volume descriptor", "sectors 20 to 23, the type L path table".
std::string sectorsText(uint64_t lba, uint64_t sectors);

}  // namespace kestrel
