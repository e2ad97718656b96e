// Opening an image for a command, as the window's Browse does, on the layer asked for, and
// finding the paths a command names in it.
#pragma once

#include <string>
#include <vector>

#include "cli/CliOutput.h"
#include "image/VolumePaths.h"
#include "ops/MasterFile.h"
#include "ops/Session.h"

namespace kestrel::cli {

// Opens the image through the session (which puts back an edit a crash cut short, and says so
// on stderr) and presents layer 1 when `layer` is 1. An image without a second volume is
// refused for layer 1.
Result<Session> openImage(const std::string& imagePath, unsigned layer);

// A file named by a path typed in UTF-8 (see image/NameText.h); a directory is refused.
Result<VolumePath> fileInImage(const Session& session, const std::string& path);

// The files named by `paths`, in their order.
Result<std::vector<ListedFile>> filesInImage(const Session& session,
                                             const std::vector<std::string>& paths);

// One snapshot of files from any directories, so that one run makes one edit of them all.
OperationSnapshot snapshotOf(const Session& session, const std::vector<ListedFile>& files);

// A data edit keeps undo when `journal` has room for the `savedBytes` it would save; with
// --no-undo it goes on without, and the refusal says so.
Result<void> requireUndoRoom(const Result<Journal>& journal, uint64_t savedBytes,
                             const CommonOptions& options);

}  // namespace kestrel::cli
