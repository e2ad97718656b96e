#include "cli/PreviewOutput.h"

#include <cstdio>
#include <string>

namespace kestrel::cli {

namespace {

std::string hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (const uint8_t byte : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%s%02x", text.empty() ? "" : " ", byte);
        text += pair;
    }
    return text;
}

}  // namespace

nlohmann::json printPreview(const std::vector<PreviewedRange>& previewed,
                            const CommonOptions& options) {
    auto changes = nlohmann::json::array();
    for (const auto& range : previewed) {
        if (!range.changes) {
            continue;
        }
        const bool cut = range.oldStart.size() < range.length;
        const char* file = range.target == JournalTarget::Image ? "image" : "layer-1 copy";
        if (options.json) {
            changes.push_back({{"file", file},
                               {"offset", range.offset},
                               {"length", range.length},
                               {"old", hex(range.oldStart)},
                               {"new", hex(range.newStart)},
                               {"shownBytes", range.oldStart.size()}});
        } else {
            std::printf("%s offset %llu (0x%llx), %llu bytes: %s%s -> %s%s\n", file,
                        static_cast<unsigned long long>(range.offset),
                        static_cast<unsigned long long>(range.offset),
                        static_cast<unsigned long long>(range.length), hex(range.oldStart).c_str(),
                        cut ? " ..." : "", hex(range.newStart).c_str(), cut ? " ..." : "");
        }
    }
    return changes;
}

const char* placementName(PlacementKind kind) {
    switch (kind) {
        case PlacementKind::OwnExtent:
            return "own-extent";
        case PlacementKind::VolumeEnd:
            return "volume-end";
        case PlacementKind::Gap:
            return "gap";
        case PlacementKind::FreeBlocks:
            return "free-blocks";
    }
    return "";
}

}  // namespace kestrel::cli
