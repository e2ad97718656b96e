// extract: files into a folder under their list names, or with -r whole directories with their
// trees, each through the window's extraction. Every folder is made and entered through the
// one above it (ops/OutputFolder.h), so a link planted in the output folder is never followed.
#include <algorithm>
#include <iostream>

#include "cli/Command.h"
#include "cli/OpenImage.h"
#include "cli/TerminalProgress.h"
#include "image/NameText.h"
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

// A directory not extracted because it repeats one extracted at its own place.
struct SkippedRepeat {
    DirectoryNumber directory = 0;
    DirectoryNumber sameAs = 0;
};

// What a run did not extract, what it wrote under other names than the image's, what it wrote
// only as far as broken chains of records reach, and the repeated directories it skipped.
struct ExtractOutcome {
    std::vector<std::string> failures;
    std::vector<RenamedFile> renamed;
    std::vector<IncompleteFile> incomplete;
    std::vector<SkippedRepeat> repeats;

    void add(const ExtractionReport& report) {
        for (const auto& failure : report.failures) {
            failures.push_back(shownRecordName(failure.rowName) + ": " + failure.error.message);
        }
        renamed.insert(renamed.end(), report.renamed.begin(), report.renamed.end());
        incomplete.insert(incomplete.end(), report.incomplete.begin(), report.incomplete.end());
    }
};

// The folder a directory of the image is written to. Its name comes from the image too: the
// rule for file names keeps it inside `folder`.
Result<OutputFolder> enterSubfolder(const OutputFolder& folder, const std::string& identifier,
                                    bool textName, ExtractOutcome& outcome) {
    const std::string wanted = textName ? utf8FromTypedBytes(identifier) : identifier;
    const auto name = outputName(wanted);
    if (!name) {
        return name.error();
    }
    auto entered = folder.enter(*name);
    if (entered && *name != wanted) {
        outcome.renamed.push_back({identifier, folder.pathOf(*name)});
    }
    return entered;
}

// A directory's files, and below it its subdirectories' trees, into `folder`. A repeat of a
// directory is not descended into: its extent is extracted once, where the directory it
// repeats lies.
void extractTree(Session& session, const std::vector<std::vector<DirectoryNumber>>& subdirectories,
                 DirectoryNumber directory, const OutputFolder& folder, OperationObserver& observer,
                 ExtractOutcome& outcome) {
    auto listing = session.listDirectory(directory);
    if (!listing) {
        outcome.failures.push_back(listing.error().message);
        return;
    }
    std::vector<std::string> rows;
    for (const auto& row : listing->rows) {
        rows.push_back(row.name);
    }
    outcome.add(extractFiles(session.snapshot(directory, rows), folder, observer));
    for (const DirectoryNumber number : subdirectories[directory]) {
        const auto& child = session.volume().directories[number - 1];
        if (child.sameAs != 0) {
            outcome.repeats.push_back({child.number, child.sameAs});
            continue;
        }
        auto subfolder =
            enterSubfolder(folder, child.identifier, session.volume().udfOnly, outcome);
        if (!subfolder) {
            outcome.failures.push_back(shownRecordName(child.identifier) + ": " +
                                       subfolder.error().message);
            continue;
        }
        extractTree(session, subdirectories, child.number, *subfolder, observer, outcome);
    }
}

// Repeats named in the line that says how many were skipped.
constexpr size_t kRepeatsNamed = 3;

// "2 directories were skipped as repeats of others: /A/X (the same as /B), /A/Y (the same as
// /)".
std::string repeatsText(const Volume& volume, const std::vector<SkippedRepeat>& repeats) {
    const size_t count = repeats.size();
    std::string text = std::to_string(count) +
                       (count == 1 ? " directory was" : " directories were") +
                       " skipped as repeats of others: ";
    for (size_t index = 0; index < std::min(count, kRepeatsNamed); ++index) {
        text += (index == 0 ? "" : ", ") +
                shownName(directoryPath(volume, repeats[index].directory)) + " (the same as " +
                shownName(directoryPath(volume, repeats[index].sameAs)) + ")";
    }
    return count > kRepeatsNamed ? text + ", ..." : text;
}

std::string renamedText(const std::vector<RenamedFile>& renamed) {
    std::string text = "These were written under other names, as theirs hold control characters:";
    for (const auto& file : renamed) {
        text += "\n" + shownName(file.rowName) + " as " + file.writtenAs;
    }
    return text;
}

int runExtract(const ExtractArguments& arguments, const CommonOptions& options) {
    const std::string command = "extract";
    auto session = openImage(arguments.image, arguments.layer);
    if (!session) {
        return refuse(options, command, session.error());
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
    const auto folder = OutputFolder::open(arguments.folder, true);
    if (!folder) {
        return refuse(options, command, folder.error());
    }
    ExtractOutcome outcome;
    {
        TerminalProgress progress("Extracting");
        if (!files.empty()) {
            outcome.add(extractFiles(snapshotOf(*session, files), *folder, progress));
        }
        const Volume& volume = session->volume();
        const auto subdirectories = subdirectoryIndex(volume.directories);
        for (const DirectoryNumber tree : trees) {
            if (tree == 1) {
                extractTree(*session, subdirectories, tree, *folder, progress, outcome);
                continue;
            }
            const auto& directory = volume.directories[tree - 1];
            auto subfolder =
                enterSubfolder(*folder, directory.identifier, session->volume().udfOnly, outcome);
            if (!subfolder) {
                outcome.failures.push_back(shownRecordName(directory.identifier) + ": " +
                                           subfolder.error().message);
                continue;
            }
            // A repeat named on its own is the directory it repeats, under its own name.
            const DirectoryNumber extracted = directory.sameAs != 0 ? directory.sameAs : tree;
            extractTree(*session, subdirectories, extracted, *subfolder, progress, outcome);
        }
    }
    for (const auto& file : outcome.incomplete) {
        std::cerr << "kestrel-cli " << command << ": " << shownRecordName(file.rowName)
                  << " was written as far as its records reach, as its chain of records is "
                     "broken: "
                  << file.brokenChain << '\n';
    }
    const auto repeats =
        outcome.repeats.empty() ? std::string() : repeatsText(session->volume(), outcome.repeats);
    if (!outcome.failures.empty()) {
        std::string message = "These files were not extracted:";
        for (const auto& failure : outcome.failures) {
            message += "\n" + failure;
        }
        if (!outcome.renamed.empty()) {
            message += "\n" + renamedText(outcome.renamed);
        }
        if (!repeats.empty()) {
            message += "\n" + repeats;
        }
        return refuse(options, command, Error{ErrorKind::Io, message});
    }
    if (options.json) {
        auto document = jsonDocument(command);
        document["folder"] = arguments.folder;
        document["done"] = arguments.paths;
        auto renamed = nlohmann::json::array();
        for (const auto& file : outcome.renamed) {
            renamed.push_back(
                {{"name", utf8FromImageBytes(file.rowName)}, {"writtenAs", file.writtenAs}});
        }
        document["renamed"] = std::move(renamed);
        auto incomplete = nlohmann::json::array();
        for (const auto& file : outcome.incomplete) {
            incomplete.push_back(
                {{"name", utf8FromImageBytes(file.rowName)}, {"brokenChain", file.brokenChain}});
        }
        document["incomplete"] = std::move(incomplete);
        if (!outcome.repeats.empty()) {
            auto skipped = nlohmann::json::array();
            for (const auto& repeat : outcome.repeats) {
                skipped.push_back(
                    {{"path",
                      utf8FromImageBytes(directoryPath(session->volume(), repeat.directory))},
                     {"sameAs",
                      utf8FromImageBytes(directoryPath(session->volume(), repeat.sameAs))}});
            }
            document["repeatsSkipped"] = std::move(skipped);
        }
        printJson(document);
    } else {
        std::cout << "Selected Files Extracted\n";
        if (!outcome.renamed.empty()) {
            std::cout << renamedText(outcome.renamed) << '\n';
        }
        if (!repeats.empty()) {
            std::cout << repeats << '\n';
        }
    }
    return kDone;
}

}  // namespace

Command addExtractCommand(CLI::App& app, const CommonOptions& options) {
    auto arguments = std::make_shared<ExtractArguments>();
    auto* parser = app.add_subcommand("extract", "Copy files (or with -r directories) out");
    parser->add_option("IMAGE", arguments->image, "The image")->required();
    parser->add_option("PATH", arguments->paths, "Files or directories in the image")->required();
    parser->add_option("-o,--output", arguments->folder,
                       "The folder to extract into (.), made when missing");
    parser->add_flag("-r,--recursive", arguments->recursive,
                     "Extract directories with their trees");
    parser->add_option("--layer", arguments->layer, "The layer of a dual-layer image, 0 or 1")
        ->check(CLI::Range(0, 1));
    return {parser, [arguments, &options] { return runExtract(*arguments, options); }};
}

}  // namespace kestrel::cli
