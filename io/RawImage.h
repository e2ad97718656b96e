// A raw CD image read as its user data: the walks see 2048 bytes per sector, at the offsets a
// cooked image would have them. Every sector read is checked first: one without the sync
// pattern, or whose header names another mode than the track's, is damaged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "io/ImageFile.h"
#include "io/RawLayout.h"

namespace kestrel {

// Which bytes of each sector a read gathers: `length` bytes from `offset` in the sector.
struct SectorView {
    size_t offset = 0;
    size_t length = 0;
};

inline SectorView userDataView(const RawLayout& layout) {
    return {layout.userDataOffset(), kUserDataSize};
}
// An XA stream's sectors as the field's tools take them out and put them back: each sector's
// subheader and the 2324 bytes behind it, which a Form 2 sector fills with data.
inline constexpr SectorView kXaSectorView{kSubheaderOffset, 8 + kForm2DataSize};

// Reads whole raw sectors from `lba` into `sectors` (a multiple of 2352 bytes long). Stops
// before the first damaged sector or the track's end and says how many sectors came; a first
// sector that is damaged is an error naming the sector and what is wrong with it.
Result<size_t> readRawSectors(const ImageFile& file, const RawLayout& layout, uint64_t lba,
                              std::span<uint8_t> sectors);

// Fills `buffer` from byte `offset` of the run `view` makes of the track's sectors; fewer
// bytes come back where the track ends or a damaged sector stands.
Result<size_t> readSectorView(const ImageFile& file, const RawLayout& layout, SectorView view,
                              uint64_t offset, std::span<uint8_t> buffer);

// Whether any of `count` sectors from `lba` is a Mode 2 Form 2 sector.
Result<bool> holdsForm2Sector(const ImageFile& file, const RawLayout& layout, uint64_t lba,
                              uint64_t count);

class RawImage final : public ImageSource {
public:
    RawImage(ImageFile file, const RawLayout& layout, std::string shownPath = {})
        : file_(std::move(file)), layout_(layout), shownPath_(std::move(shownPath)) {}

    // The cue sheet the user chose rather than the data file it names, for messages.
    const std::string& path() const override {
        return shownPath_.empty() ? file_.path() : shownPath_;
    }
    // The user data of the sectors the file still holds whole.
    Result<uint64_t> size() const override;
    Result<size_t> readAt(uint64_t offset, std::span<uint8_t> buffer) const override {
        return readSectorView(file_, layout_, userDataView(layout_), offset, buffer);
    }
    Result<FileIdentity> identity() const override { return file_.identity(); }
    void readThrough(const PendingWrites* pending) override { file_.readThrough(pending); }
    const ImageFile& file() const { return file_; }
    const RawLayout& layout() const { return layout_; }

private:
    ImageFile file_;
    RawLayout layout_;
    std::string shownPath_;
};

}  // namespace kestrel
