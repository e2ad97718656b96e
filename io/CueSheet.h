// A cue sheet: the text that names a raw image's data file and says where its tracks start.
// Only what locating the first data track needs is read: FILE (BINARY), TRACK (MODE1/2352
// and MODE2/2352 are opened, any other type is named in the refusal) and INDEX.
#pragma once

#include <string>

#include "io/RawLayout.h"
#include "io/Result.h"

namespace kestrel {

// The first data track of the cue sheet at `cuePath`: its file, which must be beside the
// sheet, and where the track lies in it. A sheet that names itself, a missing file, a track
// starting beyond its file's end or ending in part of a sector is refused with the reason.
Result<ImageContainer> readCueSheet(const std::string& cuePath);

}  // namespace kestrel
