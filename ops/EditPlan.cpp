#include "ops/EditPlan.h"

#include <initializer_list>
#include <nlohmann/json.hpp>

#include "ops/ModifyToc.h"
#include "ops/StrictJson.h"

namespace kestrel {

namespace {

using Json = nlohmann::json;

Error refused(const std::string& where, const std::string& why) {
    return Error{ErrorKind::InvalidInput, "the plan's " + where + " " + why};
}

// Refuses keys the plan does not know: a misspelt "withSize" must not quietly mean false.
Result<void> requireKnownKeys(const Json& object, std::initializer_list<std::string_view> known,
                              const std::string& where) {
    for (const auto& [key, value] : object.items()) {
        if (std::find(known.begin(), known.end(), key) == known.end()) {
            return refused(where, "has a key \"" + key + "\" that no plan has");
        }
    }
    return {};
}

Result<std::string> textAt(const Json& object, const char* key, const std::string& where) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string()) {
        return refused(where, std::string("needs \"") + key + "\" as text");
    }
    return found->get<std::string>();
}

Result<std::vector<std::string>> textsAt(const Json& object, const char* key,
                                         const std::string& where) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_array() || found->empty()) {
        return refused(where, std::string("needs \"") + key + "\" as a list of paths");
    }
    std::vector<std::string> texts;
    for (const auto& item : *found) {
        if (!item.is_string()) {
            return refused(where, std::string("has a \"") + key + "\" entry that is not text");
        }
        texts.push_back(item.get<std::string>());
    }
    return texts;
}

// A value given as a number or as text, read by the Modify TOC rules.
Result<std::optional<uint32_t>> tocValueAt(const Json& object, const char* key, TocRange range,
                                           const std::string& where) {
    const auto found = object.find(key);
    if (found == object.end()) {
        return std::optional<uint32_t>();
    }
    if (!found->is_number_integer() && !found->is_string()) {
        return refused(where, std::string("needs \"") + key + "\" as a whole number");
    }
    const std::string text = found->is_string() ? found->get<std::string>() : found->dump();
    const auto value = parseTocValue(text, range);
    if (!value) {
        return refused(where, std::string("\"") + key + "\": " + value.error().message);
    }
    return std::optional(static_cast<uint32_t>(*value));
}

// An optional true or false; absent, false.
Result<bool> flagAt(const Json& edit, const char* key, const std::string& where) {
    const auto found = edit.find(key);
    if (found == edit.end()) {
        return false;
    }
    if (!found->is_boolean()) {
        return refused(where, std::string("needs \"") + key + "\" as true or false");
    }
    return found->get<bool>();
}

Result<PlannedEdit> readRelink(const Json& edit, const std::string& where) {
    if (auto known = requireKnownKeys(edit, {"op", "master", "files", "withSize"}, where); !known) {
        return known.error();
    }
    auto master = textAt(edit, "master", where);
    auto files =
        master ? textsAt(edit, "files", where) : Result<std::vector<std::string>>(master.error());
    if (!files) {
        return files.error();
    }
    const auto withSize = flagAt(edit, "withSize", where);
    if (!withSize) {
        return withSize.error();
    }
    return PlannedEdit{PlannedRelink{*master, std::move(*files), *withSize}};
}

Result<PlannedEdit> readRecordEdit(const Json& edit, const std::string& where) {
    if (auto known = requireKnownKeys(edit, {"op", "file", "lba", "size"}, where); !known) {
        return known.error();
    }
    auto file = textAt(edit, "file", where);
    if (!file) {
        return file.error();
    }
    auto lba = tocValueAt(edit, "lba", kTocLbaRange, where);
    auto size = lba ? tocValueAt(edit, "size", kTocSizeRange, where) : lba;
    if (!size) {
        return size.error();
    }
    if (!*lba && !*size) {
        return refused(where, "needs \"lba\", \"size\" or both");
    }
    if (*lba && cancelsTocEdit(**lba)) {
        return refused(where, "has an LBA of -1, which cancels the edit and writes nothing");
    }
    return PlannedEdit{PlannedRecordEdit{*file, *lba, *size}};
}

Result<PlannedEdit> readDummy(const Json& edit, const std::string& where) {
    if (auto known = requireKnownKeys(edit, {"op", "files", "force"}, where); !known) {
        return known.error();
    }
    auto files = textsAt(edit, "files", where);
    const auto force = files ? flagAt(edit, "force", where) : Result<bool>(files.error());
    if (!force) {
        return force.error();
    }
    return PlannedEdit{PlannedDummy{std::move(*files), *force}};
}

Result<PlannedEdit> readOverwrite(const Json& edit, const std::string& where) {
    if (auto known = requireKnownKeys(edit, {"op", "file", "replacement", "force"}, where);
        !known) {
        return known.error();
    }
    auto file = textAt(edit, "file", where);
    auto replacement = file ? textAt(edit, "replacement", where) : file;
    const auto force =
        replacement ? flagAt(edit, "force", where) : Result<bool>(replacement.error());
    if (!force) {
        return force.error();
    }
    return PlannedEdit{PlannedOverwrite{*file, *replacement, *force}};
}

Result<PlannedEdit> readReplace(const Json& edit, const std::string& where) {
    if (auto known = requireKnownKeys(edit, {"op", "file", "replacement", "intoGap"}, where);
        !known) {
        return known.error();
    }
    auto file = textAt(edit, "file", where);
    auto replacement = file ? textAt(edit, "replacement", where) : file;
    const auto intoGap =
        replacement ? flagAt(edit, "intoGap", where) : Result<bool>(replacement.error());
    if (!intoGap) {
        return intoGap.error();
    }
    return PlannedEdit{PlannedReplace{*file, *replacement, *intoGap}};
}

Result<PlannedEdit> readAdd(const Json& edit, const std::string& where) {
    if (auto known = requireKnownKeys(edit, {"op", "directory", "file", "name", "intoGap"}, where);
        !known) {
        return known.error();
    }
    auto directory = textAt(edit, "directory", where);
    auto file = directory ? textAt(edit, "file", where) : directory;
    auto name = file && edit.contains("name") ? textAt(edit, "name", where) : file;
    const auto intoGap = name ? flagAt(edit, "intoGap", where) : Result<bool>(name.error());
    if (!intoGap) {
        return intoGap.error();
    }
    return PlannedEdit{PlannedAdd{
        *directory, *file, edit.contains("name") ? std::optional(*name) : std::nullopt, *intoGap}};
}

Result<PlannedEdit> readEdit(const Json& edit, const std::string& where) {
    if (!edit.is_object()) {
        return refused(where, "is not an object");
    }
    auto op = textAt(edit, "op", where);
    if (!op) {
        return op.error();
    }
    if (*op == "relink") {
        return readRelink(edit, where);
    }
    if (*op == "set-record") {
        return readRecordEdit(edit, where);
    }
    if (*op == "dummy") {
        return readDummy(edit, where);
    }
    if (*op == "overwrite") {
        return readOverwrite(edit, where);
    }
    if (*op == "replace") {
        return readReplace(edit, where);
    }
    if (*op == "add") {
        return readAdd(edit, where);
    }
    return refused(
        where, "has an \"op\" that is none of relink, set-record, dummy, overwrite, replace, add");
}

}  // namespace

Result<EditPlan> parseEditPlan(std::string_view text) {
    const auto parsed = parseStrictJson(text, "the plan");
    if (!parsed) {
        return parsed.error();
    }
    const Json& plan = *parsed;
    if (!plan.is_object()) {
        return refused("text", "is not a JSON object");
    }
    if (auto known = requireKnownKeys(plan, {"plan", "layer", "edits"}, "object"); !known) {
        return known.error();
    }
    const auto version = plan.find("plan");
    if (version == plan.end() || !version->is_number_integer() || *version != kEditPlanVersion) {
        return refused("object", "needs \"plan\": " + std::to_string(kEditPlanVersion));
    }
    EditPlan read;
    if (const auto layer = plan.find("layer"); layer != plan.end()) {
        if (!layer->is_number_integer() || (*layer != 0 && *layer != 1)) {
            return refused("object", "needs \"layer\" as 0 or 1");
        }
        read.layer = layer->get<unsigned>();
    }
    const auto edits = plan.find("edits");
    if (edits == plan.end() || !edits->is_array()) {
        return refused("object", "needs \"edits\" as a list");
    }
    for (size_t index = 0; index < edits->size(); ++index) {
        auto edit = readEdit((*edits)[index], "edit " + std::to_string(index + 1));
        if (!edit) {
            return edit.error();
        }
        read.edits.push_back(std::move(*edit));
    }
    return read;
}

}  // namespace kestrel
