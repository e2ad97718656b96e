// patch: a VCDIFF patch of the image's edits, made from its undo journal, that xdelta3 applies
// to the image as it was before them; and, with --check, whether a patch fits an image.
#include <iostream>

#include "cli/Command.h"
#include "cli/TerminalProgress.h"
#include "journal/EditSummary.h"
#include "ops/PatchCheck.h"
#include "ops/PatchExport.h"

namespace kestrel::cli {

namespace {

struct PatchArguments {
    std::string image;
    std::string patch;  // with --check
    std::string format = "vcdiff";
    std::string output;
    std::optional<uint64_t> since;
    bool check = false;
};

int runCheck(const PatchArguments& arguments, const CommonOptions& options) {
    const std::string command = "patch";
    const auto fit = checkPatch(arguments.image, arguments.patch);
    if (!fit) {
        return refuse(options, command, fit.error());
    }
    if (options.json) {
        auto document = jsonDocument(command);
        document["check"] = {{"patch", arguments.patch},
                             {"fits", fit->fits},
                             {"alreadyApplied", fit->alreadyApplied},
                             {"sourceSize", fit->source.size},
                             {"edits", {fit->source.firstEntry, fit->source.lastEntry}}};
        if (!fit->fits) {
            document["check"]["reason"] = fit->reason;
        }
        printJson(document);
    } else if (fit->fits) {
        std::cout << arguments.patch << " fits " << arguments.image
                  << (fit->alreadyApplied ? ", which holds its edits already" : "") << '\n';
    } else {
        std::cout << arguments.patch << " does not fit " << arguments.image << ": " << fit->reason
                  << '\n';
    }
    return fit->fits ? kDone : kRefused;
}

int runPatch(const PatchArguments& arguments, const CommonOptions& options) {
    const std::string command = "patch";
    if (arguments.check) {
        if (arguments.patch.empty() || !arguments.output.empty() || arguments.since) {
            return refuseUsage(options, command,
                               "--check takes an image and a patch, and no -o or --since");
        }
        return runCheck(arguments, options);
    }
    if (!arguments.patch.empty() || arguments.output.empty()) {
        return refuseUsage(options, command,
                           "the patch is written to the file -o names; a second file is "
                           "read only with --check");
    }
    const auto written = [&] {
        TerminalProgress progress("Writing");
        return writePatch({arguments.image, arguments.output, arguments.since}, &progress);
    }();
    if (!written) {
        return refuse(options, command, written.error());
    }
    if (options.json) {
        auto document = jsonDocument(command);
        document["patch"] = {{"file", written->path},
                             {"format", arguments.format},
                             {"bytes", written->bytes},
                             {"edits", {written->firstEntry, written->lastEntry}},
                             {"sourceSize", written->sourceSize},
                             {"targetSize", written->targetSize},
                             {"changedBytes", written->changedBytes}};
        printJson(document);
    } else {
        std::cout << "Patch written: " << written->path << ", " << formatBytes(written->bytes)
                  << ", of edits " << written->firstEntry << " to " << written->lastEntry << '\n';
    }
    return kDone;
}

}  // namespace

Command addPatchCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<PatchArguments>();
    auto* parser = app.add_subcommand(
        "patch", "Write the image's edits as a VCDIFF patch that xdelta3 applies");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    parser->add_option("PATCH", arguments->patch, "With --check, the patch to try");
    parser->add_option("--format", arguments->format, "The patch format")
        ->check(CLI::IsMember({"vcdiff"}));
    parser->add_option("-o,--output", arguments->output, "The patch file to write");
    parser->add_option("--since", arguments->since,
                       "The first edit to carry, by its number in undo --list (default: the "
                       "oldest edit in effect)");
    parser->add_flag("--check", arguments->check,
                     "Say whether PATCH fits IMAGE, and write nothing");
    return {parser, [arguments, &options] { return runPatch(*arguments, options); }};
}

}  // namespace kestrel::cli
