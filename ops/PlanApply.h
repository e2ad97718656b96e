// Applying an edit plan to an open image: every edit is checked before any is made; then all
// are made as one edit of the undo journal, and when one fails every earlier one is put back,
// so the image ends fully patched or as it was.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "journal/JournalEdit.h"
#include "ops/BlockTransfer.h"
#include "ops/EditPlan.h"
#include "ops/Session.h"

namespace kestrel {

struct PlanOutcome {
    // The views of edited files that could not be brought along, each with the reason.
    std::vector<std::string> viewsNotUpdated;
    // For a preview: every range that would be written, in order.
    std::vector<PreviewedRange> previewed;
};

// Checks every edit of `plan` against the session's presented volume: each path names a
// listed file, a master is on this layer, a replacement can be read, file data lies inside
// the image, and the undo journal has room. The first refusal names its edit. Returns the file
// data the plan rewrites.
Result<uint64_t> checkPlan(Session& session, const EditPlan& plan);

// Checks the plan, then makes its edits in order as one journal edit, each edit finding its
// records afresh so that it sees what the edits before it did. With `preview`, nothing is
// written, and the outcome lists what would be, each edit previewed against the image as the
// edits before it would leave it.
Result<PlanOutcome> applyPlan(Session& session, const EditPlan& plan, OperationObserver& observer,
                              bool preview);

}  // namespace kestrel
