// Raw twins of cooked test images, and what every raw-image test checks of them. A twin is
// written by the test tools' raw encoder: its user data is the cooked image byte for byte, so
// a raw image after an edit can be compared with its cooked twin after the same edit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "isobuilder/RawEncoder.h"

namespace kestrel::test {

using isobuilder::Form2Extent;
using isobuilder::RawEncoding;
using isobuilder::RawMode;

struct RawTwin {
    std::string bin;
    std::string cue;
};

// Writes the raw twin of the image at `cookedPath` beside it: NAME.bin and NAME.cue, NAME being
// the cooked file's name without its extension.
RawTwin writeRawTwin(const std::string& cookedPath, const RawEncoding& encoding = {});

// The user data of a raw image's sectors from `firstLba` on (all of them by default), 2048
// bytes each, the first 2048 of a Form 2 sector's: what the cooked twin holds there.
std::vector<uint8_t> rawUserData(const std::string& binPath, uint64_t firstLba = 0,
                                 uint64_t sectors = UINT64_MAX);

// The LBAs of the sectors whose EDC or ECC does not hold, or whose sync or mode is wrong.
std::vector<uint64_t> sectorsWithBadCodes(const std::string& binPath);

// The cooked image `bchunk` makes of the twin's data track, in a file beside the BIN; nothing
// when bchunk is missing or fails.
std::optional<std::string> bchunkImage(const RawTwin& twin);

}  // namespace kestrel::test
