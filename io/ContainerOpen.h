// From the path the user chose to the bytes the walks read: a cue sheet names its data file
// and track; a .bin or .img file is raw when its size and sector 16 say so; anything else is
// a cooked image, read as it is.
#pragma once

#include <memory>
#include <string>

#include "io/ImageFile.h"
#include "io/ImageSource.h"
#include "io/RawLayout.h"

namespace kestrel {

Result<ImageContainer> resolveContainer(const std::string& chosenPath);
// The container's file, opened for reading through its user data.
Result<std::unique_ptr<ImageSource>> openContainer(const ImageContainer& container);
// The same, read through `file`, the container's data file already open.
std::unique_ptr<ImageSource> openContainer(const ImageContainer& container, ImageFile file);

}  // namespace kestrel
