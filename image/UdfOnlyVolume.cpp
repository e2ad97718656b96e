#include "image/UdfOnlyVolume.h"

#include <algorithm>
#include <limits>

#include "image/IsoLayout.h"
#include "image/NameText.h"
#include "image/UdfRows.h"

namespace kestrel {

Volume udfOnlyVolume(const UdfVolume& udf, const UdfTree& tree, uint64_t imageBytes) {
    Volume volume;
    volume.udfOnly = true;
    const std::string& label =
        udf.logicalVolumeIdentifier.empty() ? udf.volumeIdentifier : udf.logicalVolumeIdentifier;
    volume.label = label.empty() ? "NO LABEL" : imageBytesFromUtf8(label);
    volume.isDvd = true;
    volume.volumeSectors = static_cast<uint32_t>(
        std::min<uint64_t>(imageBytes >> kSectorShift, std::numeric_limits<uint32_t>::max()));
    volume.layout = LayoutKind::Descriptor;
    volume.listingStart = ListingStart::BehindDotRecords;
    volume.treeWalked = true;
    volume.features.udf = true;
    volume.features.udfRevision = udf.revisionText();
    for (size_t index = 0; index < tree.directories.size(); ++index) {
        const UdfDirectory& directory = tree.directories[index];
        PathTableDirectory entry;
        entry.number = static_cast<DirectoryNumber>(index + 1);
        entry.parent = directory.parent ? static_cast<uint16_t>(*directory.parent + 1) : 0;
        entry.extentLba = directory.icbSector;
        entry.identifier = imageBytesFromUtf8(directory.name);
        volume.directories.push_back(std::move(entry));
    }
    return volume;
}

Result<Volume> readUdfOnlyVolume(const ImageSource& image) {
    auto udf = readUdfFileSystem(image);
    if (!udf) {
        return udf.error();
    }
    const auto size = image.size();
    if (!size) {
        return size.error();
    }
    return udfOnlyVolume(udf->volume, udf->tree, *size);
}

}  // namespace kestrel
