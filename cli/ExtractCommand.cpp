// extract: files into a folder under their list names, or with -r whole directories with their
// trees, each through the window's extraction.
#include <sys/stat.h>

#include <cerrno>
#include <iostream>

#include "cli/Command.h"
#include "cli/ImageText.h"
#include "cli/OpenImage.h"
#include "cli/TerminalProgress.h"
#include "ops/Extraction.h"

namespace kestrel::cli {

namespace {

struct ExtractArguments {
    std::string image;
    unsigned layer = 0;
    std::vector<std::string> paths;
    std::string folder = ".";
    bool recursive = false;
};

// `folder`/`identifier`, made when missing. Directory names come from the image too: the rule
// for file names keeps them inside the folder.
Result<std::string> makeSubfolder(const std::string& folder, const std::string& identifier) {
    auto subfolder = extractionPath(folder, identifier);
    if (subfolder && ::mkdir(subfolder->c_str(), 0777) != 0 && errno != EEXIST) {
        return systemError("Cannot make the folder", *subfolder, errno);
    }
    return subfolder;
}

// A directory's files, and below it its subdirectories' trees, into `folder`.
void extractTree(Session& session, DirectoryNumber directory, const std::string& folder,
                 OperationObserver& observer, std::vector<std::string>& failures) {
    auto listing = session.listDirectory(directory);
    if (!listing) {
        failures.push_back(listing.error().message);
        return;
    }
    std::vector<std::string> rows;
    for (const auto& row : listing->rows) {
        rows.push_back(row.name);
    }
    for (const auto& failure :
         extractFiles(session.snapshot(directory, rows), folder, observer).failures) {
        failures.push_back(utf8FromImageBytes(failure.rowName) + ": " + failure.error.message);
    }
    for (const auto& child : session.volume().directories) {
        if (child.number == 1 || child.parent != directory) {
            continue;
        }
        auto subfolder = makeSubfolder(folder, child.identifier);
        if (!subfolder) {
            failures.push_back(utf8FromImageBytes(child.identifier) + ": " +
                               subfolder.error().message);
            continue;
        }
        extractTree(session, child.number, *subfolder, observer, failures);
    }
}

int runExtract(const ExtractArguments& arguments, const CommonOptions& options) {
    const std::string command = "extract";
    auto session = openImage(arguments.image, arguments.layer);
    if (!session) {
        return refuse(options, command, session.error());
    }
    struct stat folder {};
    if (::stat(arguments.folder.c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) {
        return refuse(options, command,
                      Error{ErrorKind::NotFound, arguments.folder + " is not a folder"});
    }
    // The files named are extracted in one run, opening the image once for all of them.
    std::vector<ListedFile> files;
    std::vector<DirectoryNumber> trees;
    for (const auto& path : arguments.paths) {
        auto target = resolveVolumePath(session->volume(), imageBytesFromUtf8(path));
        if (target && !target->rowName && !arguments.recursive) {
            target = Error{ErrorKind::NotFound, path + " is a directory; -r extracts directories"};
        }
        if (!target) {
            return refuse(options, command, target.error());
        }
        if (target->rowName) {
            files.push_back({target->directory, *target->rowName});
        } else {
            trees.push_back(target->directory);
        }
    }
    std::vector<std::string> failures;
    {
        TerminalProgress progress("Extracting");
        if (!files.empty()) {
            for (const auto& failure :
                 extractFiles(snapshotOf(*session, files), arguments.folder, progress).failures) {
                failures.push_back(utf8FromImageBytes(failure.rowName) + ": " +
                                   failure.error.message);
            }
        }
        for (const DirectoryNumber tree : trees) {
            if (tree == 1) {
                extractTree(*session, tree, arguments.folder, progress, failures);
                continue;
            }
            const auto& directory = session->volume().directories[tree - 1];
            auto subfolder = makeSubfolder(arguments.folder, directory.identifier);
            if (!subfolder) {
                failures.push_back(utf8FromImageBytes(directory.identifier) + ": " +
                                   subfolder.error().message);
                continue;
            }
            extractTree(*session, tree, *subfolder, progress, failures);
        }
    }
    if (!failures.empty()) {
        std::string message = "These files were not extracted:";
        for (const auto& failure : failures) {
            message += "\n" + failure;
        }
        return refuse(options, command, Error{ErrorKind::Io, message});
    }
    if (options.json) {
        auto document = jsonDocument(command);
        document["folder"] = arguments.folder;
        document["done"] = arguments.paths;
        printJson(document);
    } else {
        std::cout << "Selected Files Extracted\n";
    }
    return kDone;
}

}  // namespace

Command addExtractCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<ExtractArguments>();
    auto* parser = app.add_subcommand("extract", "Copy files (or with -r directories) out");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    parser->add_option("PATH", arguments->paths, "Files or directories in the image")->required();
    parser->add_option("-o,--output", arguments->folder, "The folder to extract into (.)");
    parser->add_flag("-r,--recursive", arguments->recursive,
                     "Extract directories with their trees");
    parser->add_option("--layer", arguments->layer, "The layer of a dual-layer image, 0 or 1")
        ->check(CLI::Range(0, 1));
    return {parser, [arguments, &options] { return runExtract(*arguments, options); }};
}

}  // namespace kestrel::cli
