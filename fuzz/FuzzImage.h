// A fuzz input describes a disc image sparsely, so that a few hundred bytes can put a volume
// descriptor at byte 0x8000 and a path table in sector 258 of a megabyte-sized image:
//
//   u32 LE   image length (at most kMaxImageLength)
//   then chunks, each:  u32 LE offset, u16 LE count, count bytes
//
// Every byte string is some image: a short header or chunk is read as far as it goes, and
// bytes past the image's length are dropped. The rest of the image is zeros.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ops/Session.h"

namespace kestrel::fuzz {

// Large enough for a dual-layer image whose second volume has its path table in sector 258,
// small enough that copying or comparing a whole image stays cheap.
inline constexpr uint64_t kMaxImageLength = uint64_t{8} << 20;

// Writes the image that `input` describes to `path`, replacing what was there.
void writeImage(std::span<const uint8_t> input, const std::string& path);

// The input that describes `image`: its length and every run of non-zero bytes.
std::vector<uint8_t> describeImage(std::span<const uint8_t> image);

std::vector<uint8_t> readWholeFile(const std::string& path);

// A private folder for one fuzzing process, removed when the process ends.
class Scratch {
public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& folder() const { return folder_; }
    std::string path(const std::string& name) const { return folder_ + "/" + name; }

private:
    std::string folder_;
};

// This process's scratch folder, made on first use.
const Scratch& scratch();

// Writes the image that `input` describes into the scratch folder and opens it, with its
// layer-1 copy kept beside it; nothing when it is refused, which must be with a reason.
std::optional<Session> openDescribedImage(std::span<const uint8_t> input);

// A raw image and its cue sheet: u16 LE the sheet's length, the sheet's text, then the
// description of image.bin. With a sheet, image.cue is opened, else image.bin itself.
std::optional<Session> openDescribedRawImage(std::span<const uint8_t> input);

}  // namespace kestrel::fuzz
