// Where the copy of a dual-layer image's layer-1 volume start is kept: one fixed file per
// user, which users and their tools know by name; a session that finds another using it
// makes its own beside it (ops/LayerCopyClaim.h).
#pragma once

#include <string>

namespace kestrel {

// $XDG_CACHE_HOME/kestrel/93213_43.tmp, or ~/.cache/kestrel/93213_43.tmp when
// XDG_CACHE_HOME is unset or not an absolute path.
std::string defaultLayerCopyPath();

}  // namespace kestrel
