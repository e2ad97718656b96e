#include "ops/UdfSequence.h"

#include <algorithm>

#include "image/ByteOrder.h"
#include "image/UdfTag.h"

namespace kestrel {

namespace {

// A sequence longer than this is damage; the walk stops there.
constexpr uint32_t kMostSequenceSectors = 64;

}  // namespace

Result<std::vector<UdfSectorWrite>> soundUdfDescriptors(ImageWriter& image,
                                                        const UdfVolumeExtent& extent) {
    std::vector<UdfSectorWrite> found;
    const uint32_t sectors = std::min(extent.length / kUdfBlockSize, kMostSequenceSectors);
    for (uint32_t i = 0; i < sectors; ++i) {
        UdfSectorWrite descriptor{extent.sector + i, std::vector<uint8_t>(kUdfBlockSize)};
        const auto read =
            image.readAt(uint64_t{descriptor.sector} * kUdfBlockSize, descriptor.bytes);
        if (!read) {
            return read.error();
        }
        const auto tag = *read == kUdfBlockSize
                             ? checkUdfTag(descriptor.bytes, descriptor.sector)
                             : Result<UdfTagId>(Error{ErrorKind::CorruptImage, "cut short"});
        if (!tag || *tag == UdfTagId::Terminating) {
            break;
        }
        found.push_back(std::move(descriptor));
    }
    return found;
}

Result<std::optional<UdfSectorWrite>> lastUdfIntegrity(ImageWriter& image,
                                                       const UdfVolumeExtent& sequence) {
    auto descriptors = soundUdfDescriptors(image, sequence);
    if (!descriptors) {
        return descriptors.error();
    }
    const auto last = std::ranges::find_if(
        descriptors->rbegin(), descriptors->rend(), [](const UdfSectorWrite& descriptor) {
            return readLe16(descriptor.bytes, 0) ==
                   static_cast<uint16_t>(UdfTagId::LogicalVolumeIntegrity);
        });
    if (last == descriptors->rend()) {
        return std::optional<UdfSectorWrite>();
    }
    return std::optional(std::move(*last));
}

}  // namespace kestrel
