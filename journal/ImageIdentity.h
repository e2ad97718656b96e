// What the journal knows an image by: its file (device, inode, birth), its size, its volume
// descriptors and when its bytes last changed.
#pragma once

#include <string>

#include "io/ImageFile.h"
#include "journal/EntryRecords.h"

namespace kestrel {

Result<ImageIdentity> imageIdentity(const ImageFile& image);
// The checksum of its volume descriptors, sector 16 to the terminator.
Result<uint64_t> descriptorsHash(const ImageFile& image);

}  // namespace kestrel
