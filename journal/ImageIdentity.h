// What the journal knows an image by: its file (device, inode, birth), its size, its volume
// descriptors and when its bytes last changed.
#pragma once

#include <string>

#include "io/ImageFile.h"
#include "journal/EntryRecords.h"

namespace kestrel {

Result<ImageIdentity> imageIdentity(const ImageFile& image);

}  // namespace kestrel
