// Relinking: directory records of chosen files are pointed at the data of one master file.
// Only directory records change; no file data is copied or moved.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ops/FileFailure.h"
#include "ops/Session.h"

namespace kestrel {

struct MasterFile {
    std::string rowName;
    uint32_t lba = 0;
    uint32_t size = 0;
    // The layer whose numbering the LBA is in: on the other layer it names other data.
    bool onLayerOne = false;
};

// Takes the master's extent and data length from its record.
Result<MasterFile> chooseMasterFile(const Session& session, DirectoryNumber directory,
                                    const std::string& rowName);

// What a patch over several rows did: the rows patched, in order, the views of them that
// could not be brought along, and the first failure, after which no further row was touched.
struct PatchRun {
    std::vector<std::string> patched;
    std::vector<std::string> viewsNotUpdated;
    std::optional<FileFailure> failure;
};

// Points each row's record at the master's extent, and gives it the master's length too
// when `withSize` is set. A master on the other layer is refused before any row is touched.
// Without `keepUndo` the edit is made without undo.
PatchRun relinkFiles(Session& session, DirectoryNumber directory,
                     const std::vector<std::string>& rowNames, const MasterFile& master,
                     bool withSize, bool keepUndo = true);

// A listed file in any directory of the presented volume.
struct ListedFile {
    DirectoryNumber directory = 0;
    std::string rowName;
};

// The same for files of several directories, as one edit.
PatchRun relinkFiles(Session& session, const std::vector<ListedFile>& files,
                     const MasterFile& master, bool withSize, bool keepUndo = true);

// Refuses a master file of the other layer, whose LBA names other data on this one.
Result<void> requireMasterOnLayer(const Session& session, const MasterFile& master);

}  // namespace kestrel
