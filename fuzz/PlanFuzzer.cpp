// Reads a plan of any bytes. The promise: it is refused with a message, or read as edits that
// each name what they work on, with a layer of 0 or 1, never a crash.
#include <cstdlib>
#include <string_view>

#include "ops/EditPlan.h"

namespace {

using namespace kestrel;

bool namesItsFiles(const PlannedEdit& planned) {
    if (const auto* relink = std::get_if<PlannedRelink>(&planned)) {
        return !relink->files.empty();
    }
    if (const auto* record = std::get_if<PlannedRecordEdit>(&planned)) {
        return record->lba || record->size;
    }
    if (const auto* dummy = std::get_if<PlannedDummy>(&planned)) {
        return !dummy->files.empty();
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto plan = parseEditPlan(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!plan) {
        if (plan.error().message.empty()) {
            std::abort();
        }
        return 0;
    }
    if (plan->layer > 1) {
        std::abort();
    }
    for (const auto& edit : plan->edits) {
        if (!namesItsFiles(edit)) {
            std::abort();
        }
    }
    return 0;
}
