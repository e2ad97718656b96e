// The files of a UDF directory as the file list shows them and as operations find them: each
// file's name as image bytes (Latin-1 where every character fits, its UTF-8 otherwise, as a
// typed path is read), its first extent's absolute sector, its size and date.
#pragma once

#include <string>

#include "image/DirectoryListing.h"
#include "image/RecordLookup.h"
#include "image/UdfVolume.h"

namespace kestrel {

// The name a UDF file's row shows and is found by.
std::string udfRowName(const UdfEntry& entry);

// The plain files of the directory, in its identifiers' order; a hidden file too.
DirectoryListing listUdfFiles(const UdfDirectory& directory);

// The first plain file named `rowName`; nothing when the directory holds none.
const UdfEntry* findUdfFile(const UdfDirectory& directory, const std::string& rowName);

// Where the file's data lies: its recorded extents in order, or its bytes inside its entry.
// An extent that is allocated but not recorded (which reads as zeros) ends what is read, and
// `brokenChain` says so, as an allocation that could not all be read does.
RecordLocation udfLocationOf(const UdfEntry& entry);

}  // namespace kestrel
