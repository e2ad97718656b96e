#include "image/Volume.h"

#include <algorithm>
#include <array>

#include "image/ByteOrder.h"
#include "image/DirectoryTreeWalk.h"
#include "image/IsoLayout.h"
#include "image/LongNames.h"
#include "image/NameText.h"
#include "image/UdfDescriptors.h"
#include "image/UdfNames.h"
#include "image/UdfOnlyVolume.h"

namespace kestrel {

namespace {

constexpr const char* kNoLabel = "NO LABEL";

// The label is read as a line (a newline byte ends it, and stays in it), then cut at its
// first blank or zero byte, so "MY DISC" padded with blanks shows as "MY".
std::string labelFromLine(std::span<const uint8_t> line) {
    const auto lineEnd = std::find(line.begin(), line.end(), uint8_t{'\n'});
    line = line.first(lineEnd == line.end() ? line.size() : lineEnd - line.begin() + 1);
    const auto wordEnd =
        std::find_if(line.begin(), line.end(), [](uint8_t c) { return c == ' ' || c == 0; });
    std::string label(line.begin(), wordEnd);
    return label.empty() ? kNoLabel : label;
}

Error tooShort(const std::string& path) {
    return Error{ErrorKind::CorruptImage,
                 path + " is too short to be a disc image: it ends before its volume descriptor"};
}

// The record at `offset`, no longer than `room`.
Result<std::optional<DirectoryRecord>> readRecordAt(const ImageSource& image, uint64_t offset,
                                                    size_t room = record::kMaximumLength) {
    std::array<uint8_t, record::kMaximumLength> bytes{};
    auto read = image.readAt(offset, std::span(bytes).first(room));
    if (!read) {
        return read.error();
    }
    return parseDirectoryRecord(std::span(bytes).first(*read));
}

// The fixed layout holds when the fixed path-table position starts with the root that the
// primary descriptor names, and that root's "." and ".." are 48 bytes each, as the fixed
// listing start assumes.
Result<bool> hasFixedLayout(const ImageSource& image, uint64_t tableOffset,
                            const std::optional<DirectoryRecord>& root) {
    if (!root) {
        return false;
    }
    auto holdsRoot = pathTableHoldsRoot(image, tableOffset, root->extentLba);
    if (!holdsRoot || !*holdsRoot) {
        return holdsRoot;
    }
    std::array<uint8_t, kFixedDotRecordLength + 1> dots{};
    auto read = image.readAt(uint64_t{root->extentLba} << kSectorShift, dots);
    if (!read) {
        return read.error();
    }
    return *read == dots.size() && dots[0] == kFixedDotRecordLength &&
           dots[kFixedDotRecordLength] == kFixedDotRecordLength;
}

// The revision a UDF file system's logical volume names; nothing where it cannot be read.
std::string udfRevisionOf(const ImageSource& image) {
    std::vector<std::string> notes;
    const auto descriptors = readUdfDescriptors(image, notes);
    return descriptors ? udfRevisionText(descriptors->revision) : std::string();
}

Error unreadableLayout(const std::string& path) {
    return Error{ErrorKind::CorruptImage,
                 path +
                     " holds no ISO 9660 volume that can be read: sector 16 is no primary "
                     "volume descriptor, and no path table starts with its root at sector 19 "
                     "or 258"};
}

Result<void> readFeatures(const ImageSource& image, const DescriptorSet& descriptors,
                          Volume& volume) {
    volume.features.joliet = descriptors.joliet.has_value();
    volume.features.elTorito = descriptors.elTorito;
    volume.features.udf = descriptors.udf;
    volume.features.udfRevision = udfRevisionOf(image);
    volume.joliet = descriptors.joliet;
    // The root's "." record starts its extent.
    auto dot = readRecordAt(image, uint64_t{volume.directories.front().extentLba} << kSectorShift);
    if (!dot) {
        return dot.error();
    }
    volume.features.rockRidge = *dot && startsRockRidge(**dot);
    return {};
}

}  // namespace

Result<std::vector<PathTableDirectory>> readDescriptorTree(const ImageSource& image,
                                                           const TreeDescriptor& descriptor,
                                                           bool* walked) {
    if (descriptor.logicalBlockSize != kSectorSize) {
        return Error{ErrorKind::CorruptImage,
                     image.path() + " records logical blocks of " +
                         std::to_string(descriptor.logicalBlockSize) +
                         " bytes; only volumes of 2048-byte blocks can be read"};
    }
    if (!descriptor.root) {
        return Error{ErrorKind::CorruptImage,
                     image.path() +
                         " has no readable root directory record in its volume "
                         "descriptor"};
    }
    const uint64_t tableOffset = uint64_t{descriptor.pathTableLba} << kSectorShift;
    auto holdsRoot = pathTableHoldsRoot(image, tableOffset, descriptor.root->extentLba);
    if (!holdsRoot) {
        return holdsRoot.error();
    }
    if (walked != nullptr) {
        *walked = !*holdsRoot;
    }
    if (*holdsRoot) {
        return readPathTable(image, tableOffset, descriptor.pathTableSize);
    }
    // Without a path table the root is all there is to read.
    const auto size = image.size();
    if (!size) {
        return size.error();
    }
    const uint64_t rootOffset = uint64_t{descriptor.root->extentLba} << kSectorShift;
    if (rootOffset >= *size) {
        return Error{ErrorKind::CorruptImage,
                     image.path() +
                         " is too short to be a disc image: it ends before its path "
                         "table and its root directory"};
    }
    return walkDirectoryTree(image, descriptor.root->extentLba);
}

std::string Volume::nameText(std::string_view bytes) const {
    return udfOnly ? utf8FromTypedBytes(bytes) : utf8FromImageBytes(bytes);
}

Result<Volume> readVolume(const ImageSource& image) {
    // Everything up to the classification bytes, which lie behind the label and the size.
    std::array<uint8_t, kDiscKindOffset + 2 - kLabelOffset> fixedFields{};
    auto read = image.readAt(kLabelOffset, fixedFields);
    if (!read) {
        return read.error();
    }
    if (*read < fixedFields.size()) {
        return tooShort(image.path());
    }
    const auto field = [&fixedFields](uint64_t offset) {
        return std::span<const uint8_t>(fixedFields).subspan(offset - kLabelOffset);
    };

    Volume volume;
    volume.label = labelFromLine(field(kLabelOffset).first(kLabelLineLength));
    volume.isDvd = field(kDiscKindOffset)[0] == 0 && field(kDiscKindOffset)[1] == 0;
    volume.volumeSectors = readLe32(field(kVolumeSizeOffset), 0);

    auto descriptors = readDescriptors(image);
    if (!descriptors) {
        return descriptors.error();
    }
    // The primary descriptor's root record, whether or not the descriptor's header is valid:
    // the fixed layout has only ever needed its extent.
    auto root = readRecordAt(image, kDescriptorsOffset + kDescriptorRootAt, kDescriptorRootLength);
    if (!root) {
        return root.error();
    }
    const uint64_t fixedTable = volume.isDvd ? kDvdPathTableOffset : kCdPathTableOffset;
    auto fixed = hasFixedLayout(image, fixedTable, *root);
    if (!fixed) {
        return fixed.error();
    }
    if (!*fixed && !descriptors->primary && descriptors->udf) {
        // The volume is there, but only a UDF reader sees it.
        auto udf = readUdfOnlyVolume(image);
        if (!udf) {
            const std::string revision = udfRevisionOf(image);
            // The reason names the image again; here it is the image just named.
            std::string reason = udf.error().message;
            if (reason.starts_with(image.path() + " ")) {
                reason.replace(0, image.path().size(), "it");
            }
            return Error{ErrorKind::CorruptImage,
                         image.path() + " holds a UDF file system without ISO 9660" +
                             (revision.empty() ? "" : " (" + revision + ")") +
                             " that cannot be read: " + reason};
        }
        return udf;
    }
    if (!*fixed && !descriptors->primary) {
        return unreadableLayout(image.path());
    }
    if (!*fixed) {
        volume.layout = LayoutKind::Descriptor;
        volume.listingStart = ListingStart::BehindDotRecords;
    }
    auto directories = *fixed
                           ? readPathTable(image, fixedTable, std::nullopt)
                           : readDescriptorTree(image, *descriptors->primary, &volume.treeWalked);
    if (!directories) {
        return directories.error();
    }
    volume.directories = std::move(*directories);
    if (auto features = readFeatures(image, *descriptors, volume); !features) {
        return features.error();
    }
    return volume;
}

}  // namespace kestrel
