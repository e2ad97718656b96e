// Extract: copies the data of listed files out of the image into ordinary files in a folder.
// The image is only read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ops/BlockTransfer.h"
#include "ops/OperationSnapshot.h"
#include "ops/OutputFolder.h"

namespace kestrel {

// The name a file or folder of the image is written under: its row name with each control
// byte written as "_", so no file name made holds one; refused for a name that is not one
// file name in a folder.
Result<std::string> outputName(const std::string& rowName);
// `folder`/outputName(`rowName`).
Result<std::string> extractionPath(const std::string& folder, const std::string& rowName);

struct RenamedFile {
    std::string rowName;
    std::string writtenAs;  // the path of the file written
};

// The file a stop cut short.
struct StoppedFile {
    std::string rowName;
    uint64_t written = 0;  // of `length` bytes
    uint64_t length = 0;
    // Where the part written stays; an output that was to replace an older file is removed
    // instead, and `olderKept` names the older file, left as it was.
    std::string partPath;
    std::string olderKept;
};

// A file of several extents whose chain of records is broken: it is written as far as its
// records reach.
struct IncompleteFile {
    std::string rowName;
    std::string brokenChain;  // why
};

struct ExtractionReport : OperationReport {
    std::vector<RenamedFile> renamed;  // files written under another name than their row's
    std::vector<IncompleteFile> incomplete;
    std::optional<StoppedFile> cut;  // the file in hand when the run was stopped
};

// Extracts each snapshot file, in order, each to exactly its recorded length (the extents of a
// file of several one after another), into `folder`. A stop leaves the file in hand with the
// blocks moved so far, unless it was to replace an older file of its name, which then stays
// as it was; a failed file is reported, leaves an older file of its name as it was, and the
// others still run.
ExtractionReport extractFiles(const OperationSnapshot& snapshot, const OutputFolder& folder,
                              OperationObserver& observer);
// The same into the folder named `folder`, which must be there.
ExtractionReport extractFiles(const OperationSnapshot& snapshot, const std::string& folder,
                              OperationObserver& observer);

}  // namespace kestrel
