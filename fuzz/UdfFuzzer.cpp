// Reading a UDF volume and walking every directory, on images of any bytes: a refusal carries
// a reason, the walk stays within its depth and count, every position the reader hands on
// (an extent, embedded data, a descriptor or a field to patch) lies inside the image, and so
// do the directories' identifiers among the file system's structures; each listed row is as
// large as the extents it reads.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzImage.h"
#include "fuzz/ImageChecks.h"
#include "image/UdfRows.h"
#include "image/UdfStructures.h"
#include "image/UdfTag.h"
#include "image/UdfVolume.h"
#include "io/ImageFile.h"

namespace {

using namespace kestrel;

void require(bool promise, const char* what) {
    if (!promise) {
        throw checks::BrokenPromise(what);
    }
}

void checkFile(const UdfVolume& volume, const UdfFileEntry& file, uint64_t size) {
    require(uint64_t{file.sector} * kUdfBlockSize + file.descriptorLength <= size,
            "a file entry reaches past the image");
    require(file.informationLengthOffset + 8 <= size && file.blocksRecordedOffset + 8 <= size,
            "a file entry's length fields lie past the image");
    if (file.allocation == UdfAllocation::Embedded) {
        require(file.embeddedOffset + file.informationLength <= size,
                "embedded data reaches past the image");
    }
    for (const auto& extent : file.extents) {
        require(extent.descriptorOffset < size, "an allocation descriptor lies past the image");
        if (extent.type == UdfExtentType::NotAllocated) {
            continue;
        }
        const uint64_t blocks = (uint64_t{extent.length} + kUdfBlockSize - 1) / kUdfBlockSize;
        const bool physical =
            volume.descriptors.maps.at(extent.partition).kind == UdfMapKind::Physical;
        // A metadata partition's extent may be split over its file's extents; its first
        // block at least lies where it is said to.
        require((uint64_t{extent.firstSector} + (physical ? blocks : 1)) * kUdfBlockSize <= size,
                "an extent reaches past the image");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto path = fuzz::scratch().path("udf.img");
    fuzz::writeImage({data, size}, path);
    auto image = ImageFile::openForReading(path);
    require(image.ok(), "the written image cannot be opened");
    auto volume = readUdfVolume(*image);
    if (!volume) {
        require(!volume.error().message.empty(), "a volume was refused without a reason");
        return 0;
    }
    const uint64_t imageSize = image->size().value();
    checkFile(*volume, volume->root, imageSize);
    const UdfFileSystem fileSystem{*volume, readUdfTree(*image, *volume)};
    const auto& tree = fileSystem.tree;
    require(tree.directories.size() <= kUdfMaxDirectories, "the walk went past its count");
    std::vector<size_t> depths;
    for (const auto& directory : tree.directories) {
        const size_t depth = directory.parent ? depths.at(*directory.parent) + 1 : 0;
        require(depth <= kUdfMaxDepth, "the walk went past its depth");
        depths.push_back(depth);
        for (const auto& entry : directory.entries) {
            require(entry.identifierOffset < imageSize, "an identifier lies past the image");
            checkFile(*volume, entry.file, imageSize);
        }
        for (const auto& row : listUdfFiles(directory).rows) {
            uint64_t held = 0;
            for (const auto& extent : row.extents) {
                held += extent.length;
            }
            require(row.extents.empty() || held == row.totalLength,
                    "a row's size is not what its extents hold");
        }
    }
    for (const auto& structure : udfStructures(*image, fileSystem)) {
        require(!structure.directory ||
                    (uint64_t{structure.lba} + structure.sectors) * kUdfBlockSize <= imageSize,
                "a directory's identifiers reach past the image");
    }
    return 0;
}
