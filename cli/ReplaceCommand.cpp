// replace: a file takes a replacement's exact bytes and size, placed in its own sectors, at
// the volume's end or, with --into-gap, in a gap of zeros; nothing else moves. With
// --dry-run, where it would go and the byte ranges it would change, and nothing written.
#include <iostream>

#include "cli/Command.h"
#include "cli/OpenImage.h"
#include "cli/PreviewOutput.h"
#include "cli/TerminalProgress.h"
#include "image/NameText.h"
#include "ops/Replace.h"

namespace kestrel::cli {

namespace {

struct ReplaceArguments {
    std::string image;
    unsigned layer = 0;
    std::string path;
    std::string replacement;
    bool intoGap = false;
    bool dryRun = false;
};

int runReplace(const ReplaceArguments& arguments, const CommonOptions& options) {
    const std::string command = "replace";
    auto session = openImage(arguments.image, arguments.layer);
    auto file =
        session ? fileInImage(*session, arguments.path) : Result<VolumePath>(session.error());
    auto location = file ? session->findRecord(file->directory, *file->rowName)
                         : Result<RecordLocation>(file.error());
    auto settled = location && !arguments.dryRun
                       ? requireUndoRoom(session->journal(), location->dataLength, options)
                       : Result<void>(location ? Result<void>() : location.error());
    if (!settled) {
        return refuse(options, command, settled.error());
    }
    const auto replaced = [&] {
        TerminalProgress progress("Replacing");
        return replaceFile(*session, file->directory, *location, arguments.replacement,
                           {arguments.intoGap, !options.noUndo, arguments.dryRun}, progress);
    }();
    if (!replaced) {
        return refuse(options, command, replaced.error());
    }
    if (replaced->patch.viewNotUpdated) {
        std::cerr << "kestrel-cli " << command << ": " << *replaced->patch.viewNotUpdated << '\n';
    }
    const Placement& placement = replaced->placement;
    auto document = jsonDocument(command);
    document["dryRun"] = arguments.dryRun;
    document["placement"] = {{"kind", placementName(placement.kind)},
                             {"lba", placement.lba},
                             {"sectors", placement.sectors}};
    document["size"] = replaced->size;
    document["imageGrowth"] = replaced->imageGrowth;
    document["viewsNotUpdated"] = replaced->patch.viewNotUpdated
                                      ? std::vector{*replaced->patch.viewNotUpdated}
                                      : std::vector<std::string>{};
    if (arguments.dryRun) {
        document["changes"] = printPreview(replaced->previewed, options);
    }
    if (options.json) {
        printJson(document);
        return kDone;
    }
    std::cout << (arguments.dryRun ? "Would place " : "Replaced: ") << arguments.path << ", "
              << formatBytes(replaced->size) << ", " << placementText(placement);
    if (replaced->imageGrowth > 0) {
        std::cout << (arguments.dryRun ? "; the image would grow by " : "; the image grew by ")
                  << formatBytes(replaced->imageGrowth);
    }
    std::cout << '\n';
    return kDone;
}

}  // namespace

Command addReplaceCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<ReplaceArguments>();
    auto* parser = app.add_subcommand(
        "replace", "Give a file a replacement's exact bytes and size, moving nothing else");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    parser->add_option("PATH", arguments->path, "The file")->required();
    parser->add_option("REPLACEMENT", arguments->replacement, "The replacement file")->required();
    parser->add_option("--layer", arguments->layer, "The layer of a dual-layer image, 0 or 1")
        ->check(CLI::Range(0, 1));
    parser->add_flag("--into-gap", arguments->intoGap,
                     "Place it in the first gap of zeros inside the volume that takes it, "
                     "rather than at the volume's end");
    parser->add_flag("--dry-run", arguments->dryRun,
                     "Say where it would go and print the byte ranges that would change, and "
                     "write nothing");
    return {parser, [arguments, &options] { return runReplace(*arguments, options); }};
}

}  // namespace kestrel::cli
