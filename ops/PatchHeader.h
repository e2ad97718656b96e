// What a patch says of the image it was made from, in its VCDIFF application header: that
// image's size and the checksum of its volume descriptors, and the journal's edits it carries.
// Plain text, "kestrel-patch source-size=... source-descriptors=... edits=3-5", with no '/',
// which xdelta3 would read as a file name to decompress into.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrel {

struct PatchSource {
    uint64_t size = 0;
    uint64_t descriptorsHash = 0;
    uint64_t firstEntry = 0;
    uint64_t lastEntry = 0;
};

std::string patchHeaderText(const PatchSource& source);
// Nothing when `text` is not a header Kestrel writes.
std::optional<PatchSource> parsePatchHeader(const std::string& text);

}  // namespace kestrel
