#include "image/Volume.h"

#include <algorithm>
#include <array>

#include "image/ByteOrder.h"
#include "image/ImageFile.h"
#include "image/IsoLayout.h"
#include "image/PathTable.h"

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

}  // namespace

Result<Volume> readVolume(const std::string& imagePath) {
    auto image = ImageFile::openForReading(imagePath);
    if (!image) {
        return image.error();
    }
    // Everything up to the classification bytes, which lie behind the label and the size.
    std::array<uint8_t, kDiscKindOffset + 2 - kLabelOffset> descriptor{};
    auto read = image->readAt(kLabelOffset, descriptor);
    if (!read) {
        return read.error();
    }
    if (*read < descriptor.size()) {
        return tooShort(imagePath);
    }
    const auto field = [&descriptor](uint64_t offset) {
        return std::span<const uint8_t>(descriptor).subspan(offset - kLabelOffset);
    };

    Volume volume;
    volume.label = labelFromLine(field(kLabelOffset).first(kLabelLineLength));
    volume.isDvd = field(kDiscKindOffset)[0] == 0 && field(kDiscKindOffset)[1] == 0;
    volume.volumeSectors = readLe32(field(kVolumeSizeOffset), 0);

    auto directories =
        readPathTable(*image, volume.isDvd ? kDvdPathTableOffset : kCdPathTableOffset);
    if (!directories) {
        return directories.error();
    }
    volume.directories = std::move(*directories);
    if (auto closed = image->close(); !closed) {
        return closed.error();
    }
    return volume;
}

Result<Volume> openVolume(EditorState& state) {
    auto volume = readVolume(state.imagePath);
    if (!volume) {
        return volume;
    }
    state.isDvd = volume->isDvd;
    if (!state.presentsLayerOne()) {
        state.layer0Bytes = static_cast<int64_t>(uint64_t{volume->volumeSectors} << kSectorShift);
    }
    state.dirParent.assign(volume->directories.size() + 1, 0);
    state.dirExtent.assign(volume->directories.size() + 1, 0);
    for (const auto& directory : volume->directories) {
        state.dirParent[directory.number] = directory.parent;
        state.dirExtent[directory.number] = uint64_t{directory.extentLba} << kSectorShift;
    }
    return volume;
}

}  // namespace kestrel
