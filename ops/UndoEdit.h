// Undo: an edit like any other, made through the writer and kept in the journal, that puts
// back what an earlier edit wrote; so an undo can itself be undone.
#pragma once

#include <cstdint>

#include "journal/Journal.h"
#include "ops/BlockTransfer.h"

namespace kestrel {

// Reverts entry `id` of `journal` after checking that every range still holds what it wrote.
// `observer`, when given, is told the edit's description and each percentage of the bytes
// put back; an undo is never stopped part-way.
Result<void> undoEntry(const Journal& journal, uint64_t id, const JournalFiles& files,
                       OperationObserver* observer = nullptr);

}  // namespace kestrel
