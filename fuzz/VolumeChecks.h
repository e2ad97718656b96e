// What every target asks of a presented volume, whatever its bytes: it opens or is refused
// with a reason, every directory lists, and every listed row is found again by its name.
#pragma once

#include <cstddef>

#include "image/EditorState.h"

namespace kestrel::fuzz {

// Directories listed per input: each listing walks its own extent, and 65,535 of them would
// make one input take seconds without reaching code that a few hundred do not.
inline constexpr size_t kMaxDirectoriesListed = 256;

// Opens the presented volume, lists its directories and finds each row's record again.
// Returns whether the volume opened.
bool browseVolume(EditorState& state);

}  // namespace kestrel::fuzz
