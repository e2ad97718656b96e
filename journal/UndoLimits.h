// How much the undo journal may take: the old bytes of one edit, and of all edits together.
// Users set them in $XDG_CONFIG_HOME/kestrel/undo.conf (~/.config/kestrel/undo.conf):
//     edit-limit = 4G
//     total-limit = 8G
// A number is bytes, or K, M, G or T of 1024.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/Result.h"

namespace kestrel {

struct UndoLimits {
    uint64_t editBytes = uint64_t{4} << 30;
    uint64_t totalBytes = uint64_t{8} << 30;
};

std::string undoLimitsPath();
// The limits in the file; a missing file, and a line that cannot be read, keep the defaults.
UndoLimits loadUndoLimits();
// "4G" -> 4294967296; nothing for a text that is not such a number.
std::optional<uint64_t> parseByteCount(const std::string& text);

// Whether an edit that rewrites `dataBytes` of file data can keep its old bytes for undo:
// within the edit limit, and with room for them where the journal lives. When it cannot,
// `refusal` says why, with the sizes, in a clause without a full stop for the caller to end.
struct UndoRoom {
    bool fits = true;
    std::string refusal;
};
UndoRoom undoRoomFor(uint64_t dataBytes, const std::string& journalFolder,
                     const UndoLimits& limits = loadUndoLimits());

}  // namespace kestrel
