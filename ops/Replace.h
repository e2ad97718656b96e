// Replace: a file takes a replacement's exact bytes and size. The bytes go where
// placeReplacement puts them (its own sectors, sectors added at the volume's end, or a gap it
// was asked to use), the rest of their last sector is zeroed, and the record and its Joliet
// twin get the new LBA and size. A volume grown at its end gets its new size in every
// descriptor that records it. The old extent is left as it was. One edit: undo puts every
// byte back and gives the image its length again.
#pragma once

#include <string>
#include <vector>

#include "ops/BlockTransfer.h"
#include "ops/DirectoryRewrite.h"
#include "ops/ReplacePlacement.h"
#include "ops/Session.h"
#include "ops/UdfSpaceBitmap.h"

namespace kestrel {

struct ReplaceOptions {
    bool intoGap = false;
    bool keepUndo = true;
    bool dryRun = false;  // writes nothing, and keeps what it would write
};

struct ReplaceOutcome {
    Placement placement;
    uint64_t size = 0;         // the replacement's
    uint64_t imageGrowth = 0;  // the bytes added to the image file
    PatchOutcome patch;
    std::vector<PreviewedRange> previewed;  // of a dry run
};

// Everything a Replace writes, found on the session's thread, so that the writing can run on
// another while the user goes on browsing: the records to patch, where the bytes go, and the
// image's files as the session holds them.
struct ReplaceJob {
    JournalFiles files;
    Result<Journal> journal = Error{ErrorKind::NotFound, "no undo journal was opened"};
    RecordTargets records;
    // For a file of several extents: its directory with the chain of records made one record,
    // written instead of patching the record.
    std::optional<DirectoryRewrite> chain;
    // The same for its Joliet chain, where one matches it.
    std::optional<DirectoryRewrite> jolietChain;
    Placement placement;
    // On an image of UDF alone, the space bitmap that the placement's free blocks are taken
    // from.
    std::optional<UdfSpaceBitmap> udfBitmap;
    uint32_t volumeSectors = 0;  // as the volume records it now
    uint64_t layerOffset = 0;    // added to an LBA x 2048 to find its data in the image
    std::string replacementPath;
    uint64_t size = 0;  // the replacement's, when the job was made
    ReplaceOptions options;
};

// Where a replacement of `size` bytes would go, refused as placeReplacement refuses.
Result<Placement> placeFileReplacement(Session& session, const RecordLocation& location,
                                       uint64_t size, bool intoGap);

// The job of replacing the file at `location` with the file at `replacementPath`; refused,
// writing nothing, where it cannot be placed.
Result<ReplaceJob> prepareReplace(Session& session, DirectoryNumber directory,
                                  const RecordLocation& location,
                                  const std::string& replacementPath,
                                  const ReplaceOptions& options);

// Makes the job's edit. Works only on what the job holds; the session that prepared it must
// then read its volume again (Session::forgetReadStructures).
Result<ReplaceOutcome> runReplace(const ReplaceJob& job, OperationObserver& observer);

// The same as part of `edit`, which is neither begun nor completed here; on a failure what the
// job wrote is put back, as far as `edit` keeps undo.
Result<ReplaceOutcome> replaceInEdit(JournalEdit& edit, const ReplaceJob& job,
                                     OperationObserver& observer);

// Both, and the volume read again.
Result<ReplaceOutcome> replaceFile(Session& session, DirectoryNumber directory,
                                   const RecordLocation& location,
                                   const std::string& replacementPath,
                                   const ReplaceOptions& options, OperationObserver& observer);

}  // namespace kestrel
