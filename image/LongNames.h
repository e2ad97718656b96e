// The long names a file may carry beside its ISO 9660 identifier: Rock Ridge's NM entries in
// the record's system use area, and the UCS-2 identifiers of the Joliet tree.
#pragma once

#include <optional>
#include <string>

#include "image/DirectoryRecord.h"
#include "io/ImageSource.h"

namespace kestrel {

// Whether a root "." record starts Rock Ridge's entries (the SUSP "SP" entry).
bool startsRockRidge(const DirectoryRecord& rootDot);

// The name NM entries spell, in the image's bytes, following continuation areas in `image`;
// nothing when the record has none, or when its name cannot be read whole.
std::optional<std::string> rockRidgeName(const DirectoryRecord& record, const ImageSource& image);

// A Joliet identifier as UTF-8, less its ";1" version suffix.
std::string jolietName(const std::string& identifier);

}  // namespace kestrel
