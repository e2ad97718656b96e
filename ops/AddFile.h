// Add: a new file in a directory that is already there. Its bytes go where a longer
// replacement's go (sectors added at the volume's end, or a gap of zeros when asked); its
// record goes into the directory's own extent in the directory's order, under a name that
// follows the image's rules, with the Rock Ridge entries its neighbours carry, a twin in the
// matching Joliet directory and, on a bridge image, a UDF entry in the matching UDF directory,
// which lies in one more sector behind the data. Nothing else moves. One edit: undo takes it
// all back.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ops/BlockTransfer.h"
#include "ops/DirectoryRewrite.h"
#include "ops/PlacedData.h"
#include "ops/Session.h"
#include "ops/UdfAdd.h"

namespace kestrel {

struct AddOptions {
    // The ISO 9660 name; the file's own name when none is given. Its Rock Ridge and Joliet
    // names are always the file's own.
    std::optional<std::string> name;
    bool intoGap = false;
    bool keepUndo = true;
    bool dryRun = false;  // writes nothing, and keeps what it would write
};

// Everything an Add writes, found on the session's thread.
struct AddJob {
    JournalFiles files;
    Result<Journal> journal = Error{ErrorKind::NotFound, "no undo journal was opened"};
    PlacedData data;
    std::string identifier;  // the new record's
    std::string longName;    // its Rock Ridge and Joliet name, where the image has them
    std::optional<DirectoryRewrite> primary;  // none on an image of UDF alone
    std::optional<DirectoryRewrite> joliet;
    // Why the file has no Joliet twin in an image that has a Joliet tree.
    std::optional<std::string> jolietMissing;
    // The new file's UDF entry and identifier: all an image of UDF alone writes besides the
    // data, beside the ISO 9660 record on a bridge image.
    std::optional<UdfAddition> udf;
    // Why a bridge image's UDF file system does not list the file.
    std::optional<std::string> udfMissing;
    AddOptions options;
};

struct AddOutcome {
    Placement placement;
    std::string identifier;
    uint64_t size = 0;
    uint64_t imageGrowth = 0;
    std::optional<std::string> viewNotUpdated;
    std::vector<PreviewedRange> previewed;  // of a dry run
};

// The ISO 9660 name a file named `name` would be added under: `name` where it fits the
// image's rules, else one made from it that does.
Result<std::string> fittingIsoName(Session& session, const std::string& name);

// The job of adding the file at `sourcePath` to `directory`; refused, writing nothing, where
// its name does not fit or is taken, its directory has no room, or its bytes cannot be placed.
Result<AddJob> prepareAdd(Session& session, DirectoryNumber directory,
                          const std::string& sourcePath, const AddOptions& options);

// Makes the job's edit; the session that prepared it must then read its volume again.
Result<AddOutcome> runAdd(const AddJob& job, OperationObserver& observer);

// The same as part of `edit`, which is neither begun nor completed here.
Result<AddOutcome> addInEdit(JournalEdit& edit, const AddJob& job, OperationObserver& observer);

// Both, and the volume read again.
Result<AddOutcome> addFile(Session& session, DirectoryNumber directory,
                           const std::string& sourcePath, const AddOptions& options,
                           OperationObserver& observer);

}  // namespace kestrel
