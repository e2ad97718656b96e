// One sector of the open image for the sector view, read-only through the session's own
// handle: the 2048 bytes of a cooked image's sector, or the whole 2352 bytes of a raw one
// with its parts (sync, header, subheader, user data, EDC, ECC) as its mode lays them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/ImageFile.h"
#include "io/RawLayout.h"
#include "io/SectorCodes.h"

namespace kestrel {

enum class SectorPart { Sync, Header, Subheader, UserData, Edc, Reserved, Ecc, Unknown };
inline constexpr int kSectorParts = 8;

struct PartRange {
    SectorPart part = SectorPart::Unknown;
    size_t offset = 0;
    size_t length = 0;
};

struct SectorBytes {
    std::vector<uint8_t> bytes;
    // Empty for a cooked sector, which is user data alone.
    std::vector<PartRange> parts;
    std::string kind;  // "Mode 1", "Mode 2 Form 1", "Mode 2 Form 2", "not a data sector"
    uint64_t imageOffset = 0;
};

// The parts of a raw sector, in order, covering all its bytes; a sector without the sync
// pattern, or of a mode other than 1 and 2, is sync and header at most, then unknown bytes.
std::vector<PartRange> rawSectorParts(ConstRawSector sector);

class SectorSource {
public:
    // Sectors are counted from `layerOffset` bytes into `image`; a raw image's by `layout`.
    SectorSource(std::shared_ptr<const ImageFile> image, std::optional<RawLayout> layout,
                 uint64_t layerOffset)
        : image_(std::move(image)), layout_(layout), layerOffset_(layerOffset) {}

    bool raw() const { return layout_.has_value(); }
    const std::string& path() const { return image_->path(); }
    // The sectors there are to view, a last one the image holds in part among them.
    Result<uint64_t> sectors() const;
    // Sector `lba`, shorter where the image ends inside it; refused past its end.
    Result<SectorBytes> read(uint64_t lba) const;

private:
    std::shared_ptr<const ImageFile> image_;
    std::optional<RawLayout> layout_;
    uint64_t layerOffset_ = 0;
};

}  // namespace kestrel
