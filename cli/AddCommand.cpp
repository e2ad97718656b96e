// add: a new file in a directory that is already there, its bytes placed at the volume's end
// or, with --into-gap, in a gap of zeros, its record written into the directory's own extent
// (and its Joliet twin into the Joliet directory's); nothing else moves. With --dry-run, where
// it would go and the byte ranges it would change, and nothing written.
#include <iostream>
#include <optional>

#include "cli/Command.h"
#include "cli/OpenImage.h"
#include "cli/PreviewOutput.h"
#include "cli/TerminalProgress.h"
#include "image/NameText.h"
#include "ops/AddFile.h"

namespace kestrel::cli {

namespace {

struct AddArguments {
    std::string image;
    unsigned layer = 0;
    std::string directory;
    std::string file;
    std::optional<std::string> name;
    bool intoGap = false;
    bool dryRun = false;
};

Result<DirectoryNumber> directoryInImage(const Session& session, const std::string& path) {
    auto resolved = resolveVolumePath(session.volume(), imageBytesFromUtf8(path));
    if (!resolved) {
        return resolved.error();
    }
    if (resolved->rowName) {
        return Error{ErrorKind::NotFound,
                     path + " is not a directory of " + session.presentedName()};
    }
    return resolved->directory;
}

int runAdd(const AddArguments& arguments, const CommonOptions& options) {
    const std::string command = "add";
    auto session = openImage(arguments.image, arguments.layer);
    auto directory = session ? directoryInImage(*session, arguments.directory)
                             : Result<DirectoryNumber>(session.error());
    auto settled = directory && !arguments.dryRun
                       ? requireUndoRoom(session->journal(), 0, options)
                       : Result<void>(directory ? Result<void>() : directory.error());
    if (!settled) {
        return refuse(options, command, settled.error());
    }
    const auto added = [&] {
        TerminalProgress progress("Adding");
        return addFile(*session, *directory, arguments.file,
                       {arguments.name, arguments.intoGap, !options.noUndo, arguments.dryRun},
                       progress);
    }();
    if (!added) {
        return refuse(options, command, added.error());
    }
    if (added->viewNotUpdated) {
        std::cerr << "kestrel-cli " << command << ": " << *added->viewNotUpdated << '\n';
    }
    const Placement& placement = added->placement;
    const std::string path =
        (arguments.directory.ends_with('/') ? arguments.directory : arguments.directory + "/") +
        nameOf(added->identifier);
    auto document = jsonDocument(command);
    document["dryRun"] = arguments.dryRun;
    document["path"] = path;
    document["identifier"] = added->identifier;
    document["placement"] = {
        {"kind", placement.sectors == 0 ? "empty" : placementName(placement.kind)},
        {"lba", placement.lba},
        {"sectors", placement.sectors}};
    document["size"] = added->size;
    document["imageGrowth"] = added->imageGrowth;
    document["viewsNotUpdated"] =
        added->viewNotUpdated ? std::vector{*added->viewNotUpdated} : std::vector<std::string>{};
    if (arguments.dryRun) {
        document["changes"] = printPreview(added->previewed, options);
    }
    if (options.json) {
        printJson(document);
        return kDone;
    }
    std::cout << (arguments.dryRun ? "Would add " : "Added: ") << path << ", "
              << formatBytes(added->size);
    if (placement.sectors > 0) {
        std::cout << ", " << placementText(placement);
    }
    if (added->imageGrowth > 0) {
        std::cout << (arguments.dryRun ? "; the image would grow by " : "; the image grew by ")
                  << formatBytes(added->imageGrowth);
    }
    std::cout << '\n';
    return kDone;
}

}  // namespace

Command addAddCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<AddArguments>();
    auto* parser = app.add_subcommand(
        "add", "Add a new file to a directory of the image, moving nothing else");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    parser->add_option("DIR", arguments->directory, "The directory, / for the root")->required();
    parser->add_option("FILE", arguments->file, "The file to add")->required();
    parser->add_option("--layer", arguments->layer, "The layer of a dual-layer image, 0 or 1")
        ->check(CLI::Range(0, 1));
    parser->add_option("--name", arguments->name,
                       "Its ISO 9660 name, where its own does not fit the image's rules (its "
                       "Rock Ridge and Joliet names stay its own)");
    parser->add_flag("--into-gap", arguments->intoGap,
                     "Place its bytes in the first gap of zeros inside the volume that takes "
                     "them, rather than at the volume's end");
    parser->add_flag("--dry-run", arguments->dryRun,
                     "Say where it would go and print the byte ranges that would change, and "
                     "write nothing");
    return {parser, [arguments, &options] { return runAdd(*arguments, options); }};
}

}  // namespace kestrel::cli
