// Relinking: directory records of chosen files are pointed at the data of one master file.
// Only directory records change; no file data is copied or moved.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "image/EditorState.h"
#include "image/Result.h"
#include "ops/FileFailure.h"

namespace kestrel {

// Takes the master's extent and data length from its record. The state keeps its earlier
// master when the record cannot be read.
Result<void> chooseMasterFile(EditorState& state, DirectoryNumber directory,
                              const std::string& rowName);

// What a patch over several rows did: the rows patched, in order, and the first failure,
// after which no further row was touched.
struct PatchRun {
    std::vector<std::string> patched;
    std::optional<FileFailure> failure;
};

// Points each row's record at the master's extent, and gives it the master's length too
// when `withSize` is set.
PatchRun relinkFiles(const EditorState& state, DirectoryNumber directory,
                     const std::vector<std::string>& rowNames, bool withSize);

}  // namespace kestrel
