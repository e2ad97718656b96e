#include "ops/ReplacePlacement.h"

#include <algorithm>
#include <vector>

#include "image/UdfTag.h"
#include "journal/EditSummary.h"
#include "ops/PartitionTables.h"

namespace kestrel {

namespace {

constexpr uint64_t kSectorBytes = 2048;
// What lies past the volume is read to see that it is only padding up to this much; more is
// taken to hold something.
constexpr uint64_t kLargestPadding = uint64_t{64} << 20;

uint64_t sectorsFor(uint64_t bytes) {
    return (bytes + kSectorBytes - 1) / kSectorBytes;
}

// Whether the volume's last sector holds a UDF anchor. UDF readers look for one there, and
// 7-Zip's finds the file system damaged when the sector that ends a grown partition is none.
bool anchorEndsVolume(const PlacementScene& scene, uint32_t sectors) {
    if (sectors == 0) {
        return false;
    }
    std::vector<uint8_t> last(kSectorBytes);
    const auto read =
        scene.image->readAt(scene.volumeStart + uint64_t{sectors - 1} * kSectorBytes, last);
    const auto tag = read && *read == last.size()
                         ? checkUdfTag(last, sectors - 1)
                         : Result<UdfTagId>(Error{ErrorKind::NotFound, ""});
    return tag && *tag == UdfTagId::AnchorPointer;
}

Result<bool> holdsOnlyZeros(const ImageSource& image, uint64_t offset, uint64_t length) {
    std::vector<uint8_t> piece(std::min<uint64_t>(length, uint64_t{1} << 20));
    for (uint64_t at = 0; at < length;) {
        const auto part = std::span(piece).first(std::min<uint64_t>(piece.size(), length - at));
        const auto read = image.readAt(offset + at, part);
        if (!read) {
            return read.error();
        }
        const auto held = part.first(*read);
        if (std::ranges::any_of(held, [](uint8_t byte) { return byte != 0; })) {
            return false;
        }
        // Bytes that cannot be read here (past a layer-1 copy's end, past a cut image's) are
        // not known to be zeros.
        if (*read < part.size()) {
            return false;
        }
        at += part.size();
    }
    return true;
}

// Whether the file's own sectors are its alone: no structure, no other file's record (its
// Joliet twin aside) and no other extent reaches into them.
bool ownsItsSectors(const PlacementScene& scene, const RecordLocation& file, uint64_t sectors) {
    if (scene.structures == nullptr || scene.structures->overlapping(file.extentLba, sectors)) {
        return false;
    }
    const uint64_t end = uint64_t{file.extentLba} + sectors;
    size_t isoOwners = 0;
    for (const auto& extent : scene.map->extents) {
        if (extent.lba >= end || extent.lba + extent.sectors <= file.extentLba ||
            extent.kind == ExtentKind::Gap) {
            continue;
        }
        if (extent.kind != ExtentKind::File || extent.shared) {
            return false;
        }
        isoOwners += std::ranges::count_if(extent.owners, [](const auto& o) { return !o.joliet; });
    }
    return isoOwners == 1;
}

struct Gap {
    uint32_t lba = 0;
    uint64_t sectors = 0;
};

// The gaps inside the volume that take `sectors` and hold nothing but zeros there.
Result<std::vector<Gap>> zeroGaps(const PlacementScene& scene, uint64_t sectors, size_t most) {
    std::vector<Gap> gaps;
    for (const auto& extent : scene.map->extents) {
        if (extent.kind != ExtentKind::Gap || extent.sectors < sectors ||
            extent.lba + extent.sectors > scene.map->volumeSectors) {
            continue;
        }
        const auto zeros = holdsOnlyZeros(
            *scene.image, scene.volumeStart + extent.lba * kSectorBytes, sectors * kSectorBytes);
        if (!zeros) {
            return zeros.error();
        }
        if (*zeros) {
            gaps.push_back({extent.lba, extent.sectors});
            if (gaps.size() == most) {
                break;
            }
        }
    }
    return gaps;
}

// Why the volume cannot grow at its end to hold `sectors` more, or nothing when it can. The
// partition tables of a hybrid image grow with it where they are understood; the bytes they
// keep at the image's end (a GPT's backup) may follow the volume, everything else there must
// be padding.
Result<std::optional<std::string>> endRefusal(const PlacementScene& scene, uint64_t sectors) {
    if (scene.endFixed) {
        return scene.endFixed;
    }
    const uint64_t volumeEnd =
        scene.volumeStart + uint64_t{scene.map->volumeSectors} * kSectorBytes;
    const auto size = scene.image->size();
    if (!size) {
        return size.error();
    }
    const auto tables = PartitionTables::read(
        [&](uint64_t offset, std::span<uint8_t> bytes) {
            return scene.image->readAt(offset, bytes);
        },
        *size);
    if (!tables) {
        return tables.error();
    }
    if (tables->unsound()) {
        return tables->unsound();
    }
    const uint64_t tailEnd = std::min(*size, std::max(volumeEnd, tables->backupStart()));
    if (tailEnd > volumeEnd) {
        const uint64_t tail = tailEnd - volumeEnd;
        const auto zeros = tail <= kLargestPadding ? holdsOnlyZeros(*scene.image, volumeEnd, tail)
                                                   : Result<bool>(false);
        if (!zeros) {
            return zeros.error();
        }
        if (!*zeros) {
            return std::optional<std::string>(
                "the image holds " + formatBytes(tail) +
                " after the volume's end (a second layer, another session or a partition), which "
                "what is added there would overwrite");
        }
    }
    return tables->refusal(volumeEnd, volumeEnd + sectors * kSectorBytes);
}

std::string gapsText(const std::vector<Gap>& gaps) {
    if (gaps.empty()) {
        return "no gap of zeros inside the volume is large enough either";
    }
    std::string text = "gaps of zeros that would take it: ";
    for (size_t i = 0; i < gaps.size(); ++i) {
        text += (i > 0 ? ", LBA " : "LBA ") + std::to_string(gaps[i].lba) + " (" +
                std::to_string(gaps[i].sectors) + " sectors)";
    }
    return text + "; --into-gap places it in the first";
}

}  // namespace

Result<Placement> placeReplacement(const PlacementScene& scene, const RecordLocation& file,
                                   uint64_t size, bool intoGap) {
    const uint64_t sectors = sectorsFor(size);
    const uint32_t volumeSectors = scene.map->volumeSectors;
    const uint64_t own = sectorsFor(file.dataLength);
    // An empty replacement holds no sector, so it stays where the file is.
    if (sectors == 0 || (sectors <= own && ownsItsSectors(scene, file, own))) {
        return Placement{PlacementKind::OwnExtent, file.extentLba, static_cast<uint32_t>(sectors),
                         volumeSectors};
    }
    return placeNewData(scene, size, intoGap, "beyond the file's own sectors");
}

Result<Placement> placeNewData(const PlacementScene& scene, uint64_t size, bool intoGap,
                               const std::string& beyond) {
    const uint64_t sectors = sectorsFor(size);
    const uint32_t volumeSectors = scene.map->volumeSectors;
    if (intoGap) {
        const auto gaps = zeroGaps(scene, std::max<uint64_t>(sectors, 1), 1);
        if (!gaps) {
            return gaps.error();
        }
        if (gaps->empty()) {
            return Error{ErrorKind::OutOfRange,
                         "No gap of zeros inside the volume takes " + formatBytes(size) + " (" +
                             std::to_string(sectors) + " sectors); nothing was written"};
        }
        return Placement{PlacementKind::Gap, gaps->front().lba, static_cast<uint32_t>(sectors),
                         volumeSectors};
    }
    // A UDF anchor that ends the volume is written again behind the sectors added.
    const uint64_t added = sectors + (anchorEndsVolume(scene, volumeSectors) ? 1 : 0);
    const auto refusal = endRefusal(scene, added);
    if (!refusal) {
        return refusal.error();
    }
    if (!*refusal && uint64_t{volumeSectors} + added <= UINT32_MAX) {
        return Placement{PlacementKind::VolumeEnd, volumeSectors, static_cast<uint32_t>(sectors),
                         static_cast<uint32_t>(volumeSectors + added)};
    }
    const auto gaps = zeroGaps(scene, std::max<uint64_t>(sectors, 1), 3);
    if (!gaps) {
        return gaps.error();
    }
    const std::string why = *refusal ? **refusal : "the volume would pass 4,294,967,295 sectors";
    return Error{ErrorKind::OutOfRange, "The data needs " + std::to_string(sectors * kSectorBytes) +
                                            " bytes " + beyond +
                                            ", and the volume cannot grow at its end: " + why +
                                            "; " + gapsText(*gaps) + ". Nothing was written"};
}

std::string placementText(const Placement& placement) {
    switch (placement.kind) {
        case PlacementKind::OwnExtent:
            return "in its own sectors";
        case PlacementKind::VolumeEnd:
            return "at LBA " + std::to_string(placement.lba) + ", the volume's end";
        case PlacementKind::Gap:
            return "in the gap at LBA " + std::to_string(placement.lba);
        case PlacementKind::FreeBlocks:
            return "in free blocks of the UDF partition at LBA " + std::to_string(placement.lba);
    }
    return {};
}

}  // namespace kestrel
