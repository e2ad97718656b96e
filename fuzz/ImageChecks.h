// The promises every image must be kept, whatever its bytes, checked by the fuzz targets and
// by the hostile-image tests: a volume opens or is refused with a reason, every listed row
// is found again by its name, and every operation writes only inside the byte ranges it
// owns (a file's data, or a record's extent and length fields) and never resizes the image.
#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

#include "ops/Session.h"

namespace kestrel::checks {

struct BrokenPromise : std::logic_error {
    using std::logic_error::logic_error;
};

// Directories listed per volume: each listing walks its own extent, and 65,535 of them would
// make one input take seconds without reaching code that a few hundred do not.
inline constexpr size_t kMaxDirectoriesListed = 256;

// Opens the image, or checks that its refusal carries a reason.
std::optional<Session> openImage(const std::string& image, const std::string& layerCopy);

// Lists the presented volume's directories and finds each row's record again; checks that the
// tree is bounded (no path deeper than kMaxDirectoryDepth, repeats marked, listing nothing and
// holding no subdirectories) and that no record is listed in two directories, so that the
// rows listed are never more than the directory records present. Throws BrokenPromise when a
// promise is broken.
void browseVolume(Session& session);

// Runs Extract into `scratchFolder`/extracted, Overwrite of the first row, Dummy of every
// row and Relink of every row to the first, on directory `directory` of the presented
// volume, checking each against the image's bytes before it. The image must be small enough
// to hold in memory. Throws BrokenPromise when a promise is broken.
void exerciseOperations(Session& session, DirectoryNumber directory,
                        const std::string& scratchFolder);

}  // namespace kestrel::checks
