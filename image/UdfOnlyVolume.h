// A volume that only a UDF reader sees: no primary volume descriptor, a UDF file system from
// sector 16 on. Its directories are the UDF tree's, numbered as the window and the command
// line number those of an ISO 9660 volume, so that browsing them is the same.
#pragma once

#include "image/UdfVolume.h"
#include "image/Volume.h"

namespace kestrel {

// The volume of `udf`, whose tree is `tree`; its size is the image's, in whole sectors.
Volume udfOnlyVolume(const UdfVolume& udf, const UdfTree& tree, uint64_t imageBytes);

// Reads the UDF file system of `image` as its volume.
Result<Volume> readUdfOnlyVolume(const ImageSource& image);

}  // namespace kestrel
