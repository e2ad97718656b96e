// Reads a plan of any bytes. The promise: it is refused with a message, or read as edits that
// each name what they work on, with a layer of 0 or 1, never a crash; and a plan accepted is
// JSON to its last byte, with no key twice in any object. Those two are checked apart from
// the plan's reader, with nlohmann-json's own strict parser and its parse callback.
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>
#include <vector>

#include "ops/EditPlan.h"

namespace {

using namespace kestrel;
using Json = nlohmann::json;

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

// The parser stops at a zero byte as at the end of the text, so one is looked for apart.
bool isJsonToItsLastByte(std::string_view text) {
    return text.find('\0') == std::string_view::npos && Json::accept(text);
}

// An object that read more keys than it holds had one of them twice.
bool hasNoKeyTwice(std::string_view text) {
    std::vector<size_t> keysRead;
    bool twice = false;
    const Json parsed = Json::parse(
        text,
        [&](int, Json::parse_event_t event, const Json& parsed) {
            if (event == Json::parse_event_t::object_start) {
                keysRead.push_back(0);
            } else if (event == Json::parse_event_t::key) {
                ++keysRead.back();
            } else if (event == Json::parse_event_t::object_end) {
                twice = twice || keysRead.back() != parsed.size();
                keysRead.pop_back();
            }
            return true;
        },
        false);
    return !parsed.is_discarded() && !twice;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto plan = parseEditPlan(text);
    if (!plan) {
        if (plan.error().message.empty()) {
            std::abort();
        }
        return 0;
    }
    if (plan->layer > 1 || !isJsonToItsLastByte(text) || !hasNoKeyTwice(text)) {
        std::abort();
    }
    for (const auto& edit : plan->edits) {
        if (!namesItsFiles(edit)) {
            std::abort();
        }
    }
    return 0;
}
