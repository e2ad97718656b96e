// apply: a plan's edits, checked first and then made as one journal edit, all or none; with
// --dry-run, the byte ranges they would change, old and new, and nothing written.
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "cli/Command.h"
#include "cli/OpenImage.h"
#include "cli/PreviewOutput.h"
#include "cli/TerminalProgress.h"
#include "image/NameText.h"
#include "journal/EditSummary.h"
#include "ops/PlanApply.h"

namespace kestrel::cli {

namespace {

// No plan a person or a script writes comes near this; a larger file is not read.
constexpr off_t kLargestPlan = off_t{16} << 20;

struct ApplyArguments {
    std::string image;
    std::string plan;
    bool dryRun = false;
};

Result<std::string> readPlanText(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return systemError("Cannot read the plan", path, errno);
    }
    if (!S_ISREG(status.st_mode) || status.st_size > kLargestPlan) {
        return Error{ErrorKind::InvalidInput,
                     "Cannot read the plan " + path + ": not a file of at most 16 MiB"};
    }
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file) {
        return systemError("Cannot read the plan", path, errno);
    }
    return text.str();
}

// Paths inside the image are typed in UTF-8, as on the command line.
void toImageBytes(EditPlan& plan) {
    const auto convert = [](std::string& path) { path = imageBytesFromUtf8(path); };
    for (auto& edit : plan.edits) {
        std::visit(
            [&](auto& planned) {
                using Planned = std::decay_t<decltype(planned)>;
                if constexpr (std::is_same_v<Planned, PlannedRelink>) {
                    convert(planned.master);
                }
                if constexpr (requires { planned.files; }) {
                    std::ranges::for_each(planned.files, convert);
                } else {
                    convert(planned.file);
                }
            },
            edit);
    }
}

int runApply(const ApplyArguments& arguments, const CommonOptions& options) {
    const std::string command = "apply";
    if (options.noUndo) {
        return refuseUsage(options, command,
                           "a plan is applied all or none, which needs the undo journal; "
                           "--no-undo cannot be given");
    }
    auto text = readPlanText(arguments.plan);
    auto plan = text ? parseEditPlan(*text) : Result<EditPlan>(text.error());
    if (!plan) {
        return refuse(options, command,
                      Error{plan.error().kind, arguments.plan + ": " + plan.error().message});
    }
    toImageBytes(*plan);
    auto session = openImage(arguments.image, plan->layer);
    if (!session) {
        return refuse(options, command, session.error());
    }
    auto applied = [&] {
        TerminalProgress progress("Applying");
        return applyPlan(*session, *plan, progress, arguments.dryRun);
    }();
    if (!applied) {
        return refuse(options, command, applied.error());
    }
    for (const auto& view : applied->viewsNotUpdated) {
        std::cerr << "kestrel-cli " << command << ": " << view << '\n';
    }
    if (arguments.dryRun) {
        auto document = jsonDocument(command);
        document["dryRun"] = true;
        document["changes"] = printPreview(applied->previewed, options);
        if (options.json) {
            printJson(document);
        }
        return kDone;
    }
    const std::string done =
        describeEdit({EditKind::Plan, static_cast<uint32_t>(plan->edits.size()), 0, {}, 0, 0});
    if (options.json) {
        auto document = jsonDocument(command);
        document["dryRun"] = false;
        document["applied"] = plan->edits.size();
        document["viewsNotUpdated"] = applied->viewsNotUpdated;
        printJson(document);
    } else {
        std::cout << "Applied: " << done << '\n';
    }
    return kDone;
}

}  // namespace

Command addApplyCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<ApplyArguments>();
    auto* parser = app.add_subcommand("apply", "Apply a plan of edits, all or none");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    parser->add_option("PLAN", arguments->plan, "The plan (JSON; see docs/cli-json.md)")
        ->required();
    parser->add_flag("--dry-run", arguments->dryRun,
                     "Print the byte ranges that would change, and write nothing");
    return {parser, [arguments, &options] { return runApply(*arguments, options); }};
}

}  // namespace kestrel::cli
