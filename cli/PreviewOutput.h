// What a dry run shows: each byte range an edit would change, with its first old and new bytes.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "cli/CliOutput.h"
#include "journal/JournalEdit.h"
#include "ops/ReplacePlacement.h"

namespace kestrel::cli {

// Prints a line for each range that changes, unless in JSON mode, and returns them as the
// document's "changes".
nlohmann::json printPreview(const std::vector<PreviewedRange>& previewed,
                            const CommonOptions& options);

// A placement's kind as the JSON output names it: "own-extent", "volume-end", "gap",
// "free-blocks".
const char* placementName(PlacementKind kind);

}  // namespace kestrel::cli
