#include "ops/PatchHeader.h"

#include <cinttypes>
#include <cstdio>

namespace kestrel {

namespace {

constexpr const char* kFormat = "kestrel-patch source-size=%" PRIu64
                                " source-descriptors=%016" PRIx64 " edits=%" PRIu64 "-%" PRIu64;
constexpr size_t kLongest = 160;

}  // namespace

std::string patchHeaderText(const PatchSource& source) {
    char text[kLongest];
    std::snprintf(text, sizeof text, kFormat, source.size, source.descriptorsHash,
                  source.firstEntry, source.lastEntry);
    return text;
}

std::optional<PatchSource> parsePatchHeader(const std::string& text) {
    PatchSource source;
    if (text.size() >= kLongest ||
        std::sscanf(text.c_str(), kFormat, &source.size, &source.descriptorsHash,
                    &source.firstEntry, &source.lastEntry) != 4 ||
        patchHeaderText(source) != text) {
        return std::nullopt;
    }
    return source;
}

}  // namespace kestrel
