#include "io/ContainerOpen.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <filesystem>

#include "io/CueSheet.h"
#include "io/ImageFile.h"
#include "io/RawImage.h"

namespace kestrel {

namespace {

// Where the primary volume descriptor's sector lies: its sync pattern tells a raw image.
constexpr uint64_t kDescriptorSector = 16;
constexpr std::array<uint8_t, kSyncSize> kSync{0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                               0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0};

std::string extensionOf(const std::string& path) {
    auto extension = std::filesystem::path(path).extension().string();
    std::ranges::transform(extension, extension.begin(),
                           [](unsigned char c) { return std::tolower(c); });
    return extension;
}

// A .bin or .img of whole 2352-byte sectors whose sector 16 starts with the sync pattern; its
// mode is what that sector's header says, and a sector that says neither 1 nor 2 is reported
// as damaged when read.
Result<ImageContainer> recognise(const std::string& path) {
    auto file = ImageFile::openForReading(path);
    if (!file) {
        return file.error();
    }
    const auto size = file->size();
    if (!size) {
        return size.error();
    }
    std::array<uint8_t, kHeaderOffset + 4> head{};
    const auto read = file->readAt(kDescriptorSector * kRawSectorSize, head);
    if (!read) {
        return read.error();
    }
    if (*size % kRawSectorSize != 0 || *read < head.size() ||
        !std::equal(kSync.begin(), kSync.end(), head.begin())) {
        return ImageContainer{path, std::nullopt, {}};
    }
    const uint8_t mode = head[kModeOffset] == 2 ? 2 : 1;
    return ImageContainer{path, RawLayout{0, *size / kRawSectorSize, mode}, {}};
}

// A file read as it is, named in messages as the user knows it.
class ShownFile final : public ImageSource {
public:
    ShownFile(ImageFile file, std::string shownPath)
        : file_(std::move(file)), shownPath_(std::move(shownPath)) {}

    const std::string& path() const override { return shownPath_; }
    Result<uint64_t> size() const override { return file_.size(); }
    Result<size_t> readAt(uint64_t offset, std::span<uint8_t> buffer) const override {
        return file_.readAt(offset, buffer);
    }
    Result<FileIdentity> identity() const override { return file_.identity(); }
    void readThrough(const PendingWrites* pending) override { file_.readThrough(pending); }

private:
    ImageFile file_;
    std::string shownPath_;
};

}  // namespace

Result<ImageContainer> resolveContainer(const std::string& chosenPath) {
    const auto extension = extensionOf(chosenPath);
    if (extension == ".cue") {
        return readCueSheet(chosenPath);
    }
    if (extension == ".bin" || extension == ".img") {
        return recognise(chosenPath);
    }
    return ImageContainer{chosenPath, std::nullopt, {}};
}

Result<std::unique_ptr<ImageSource>> openContainer(const ImageContainer& container) {
    auto file = ImageFile::openForReading(container.dataPath);
    if (!file) {
        return file.error();
    }
    return openContainer(container, std::move(*file));
}

std::unique_ptr<ImageSource> openContainer(const ImageContainer& container, ImageFile file) {
    if (!container.raw && !container.shownPath.empty()) {
        return std::make_unique<ShownFile>(std::move(file), container.shownPath);
    }
    if (!container.raw) {
        return std::make_unique<ImageFile>(std::move(file));
    }
    return std::make_unique<RawImage>(std::move(file), *container.raw, container.shownPath);
}

}  // namespace kestrel
