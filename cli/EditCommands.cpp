// The window's edits: relink, set-record (Modify TOC), dummy and overwrite, with the same
// checks, refusals and journal. The window's questions are options here: the Patch Option is
// --with-size, going on without undo is --no-undo.
#include <iostream>

#include "cli/Command.h"
#include "cli/OpenImage.h"
#include "cli/TerminalProgress.h"
#include "image/NameText.h"
#include "ops/Blanking.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "ops/Overwrite.h"

namespace kestrel::cli {

namespace {

constexpr const char* kForceHelp =
    "Write even over the volume's own structures (descriptors, path tables, directories, boot "
    "catalog)";

struct EditArguments {
    std::string image;
    unsigned layer = 0;
    std::vector<std::string> paths;
    std::string path;
    std::string master;
    bool withSize = false;
    std::string lba;
    std::string size;
    std::string replacement;
    bool force = false;
};

CLI::App* addEdit(CLI::App& app, const char* name, const char* description,
                  EditArguments& arguments) {
    auto* parser = app.add_subcommand(name, description);
    parser->add_option("IMAGE", arguments.image, "The image")->required();
    parser->add_option("--layer", arguments.layer, "The layer of a dual-layer image, 0 or 1")
        ->check(CLI::Range(0, 1));
    return parser;
}

void printDone(const CommonOptions& options, const std::string& command, const std::string& text,
               const std::vector<std::string>& done, const std::vector<std::string>& views) {
    for (const auto& view : views) {
        std::cerr << "kestrel-cli " << command << ": " << view << '\n';
    }
    if (!options.json) {
        std::cout << text << '\n';
        return;
    }
    auto document = jsonDocument(command);
    document["done"] = done;
    document["viewsNotUpdated"] = views;
    printJson(document);
}

// Told after a record edit that points a file into one of the volume's own structures.
void noteStructureAt(const Session& session, const std::string& command, uint32_t lba) {
    const auto structures = session.structures();
    if (const auto note = structures ? structures->noteForLba(lba) : std::nullopt) {
        std::cerr << "kestrel-cli " << command << ": " << *note << '\n';
    }
}

// A data edit writes over the volume's own structures only with --force.
Result<void> settleStructures(OperationSnapshot& snapshot, bool force) {
    snapshot.structuresConfirmed = force;
    const auto covered = force ? std::vector<std::string>{} : snapshot.structuresCovered();
    if (covered.empty()) {
        return {};
    }
    std::string message = "Nothing was written: ";
    for (const auto& file : covered) {
        message += shownName(file) + "; ";
    }
    return Error{ErrorKind::InvalidInput,
                 message +
                     "writing over the volume's own structures could leave it unreadable, "
                     "and --force writes all the same"};
}

// A data edit keeps undo when the journal can take it; --no-undo goes on without.
Result<void> settleUndo(OperationSnapshot& snapshot, const CommonOptions& options) {
    snapshot.keepUndo = !options.noUndo;
    return requireUndoRoom(snapshot.journal, snapshot.savedBytes(), options);
}

int runRelink(const EditArguments& arguments, const CommonOptions& options) {
    const std::string command = "relink";
    auto session = openImage(arguments.image, arguments.layer);
    auto masterPath =
        session ? fileInImage(*session, arguments.master) : Result<VolumePath>(session.error());
    auto master = masterPath
                      ? chooseMasterFile(*session, masterPath->directory, *masterPath->rowName)
                      : Result<MasterFile>(masterPath.error());
    auto files = master ? filesInImage(*session, arguments.paths)
                        : Result<std::vector<ListedFile>>(master.error());
    if (!files) {
        return refuse(options, command, files.error());
    }
    const auto run = relinkFiles(*session, *files, *master, arguments.withSize, !options.noUndo);
    // Rows are patched in the order given, and none after a failure.
    const std::vector<std::string> patched(
        arguments.paths.begin(),
        arguments.paths.begin() + static_cast<ptrdiff_t>(run.patched.size()));
    if (run.failure) {
        std::string done = patched.empty() ? "No file was patched." : "Patched before the failure:";
        for (const auto& path : patched) {
            done += " " + path;
        }
        for (const auto& view : run.viewsNotUpdated) {
            std::cerr << "kestrel-cli " << command << ": " << view << '\n';
        }
        return refuse(options, command,
                      Error{run.failure->error.kind, utf8FromImageBytes(run.failure->rowName) +
                                                         " could not be patched: " +
                                                         run.failure->error.message + ". " + done});
    }
    noteStructureAt(*session, command, master->lba);
    printDone(options, command, "File(s) Patched", patched, run.viewsNotUpdated);
    return kDone;
}

int runSetRecord(const EditArguments& arguments, const CommonOptions& options) {
    const std::string command = "set-record";
    if (arguments.lba.empty() && arguments.size.empty()) {
        return refuseUsage(options, command, "give --lba, --size or both");
    }
    std::optional<int64_t> lba;
    std::optional<int64_t> size;
    for (const auto& [text, range, value, field] :
         {std::tuple{&arguments.lba, kTocLbaRange, &lba, "--lba"},
          std::tuple{&arguments.size, kTocSizeRange, &size, "--size"}}) {
        if (text->empty()) {
            continue;
        }
        const auto parsed = parseTocValue(*text, range);
        if (!parsed) {
            return refuseUsage(options, command,
                               std::string(field) + ": " + parsed.error().message);
        }
        *value = *parsed;
    }
    if (lba && cancelsTocEdit(*lba)) {
        return refuseUsage(options, command,
                           "--lba: an LBA of -1 is Modify TOC's cancel and writes nothing");
    }
    auto session = openImage(arguments.image, arguments.layer);
    auto file =
        session ? fileInImage(*session, arguments.path) : Result<VolumePath>(session.error());
    auto location = file ? session->findRecord(file->directory, *file->rowName)
                         : Result<RecordLocation>(file.error());
    if (!location) {
        return refuse(options, command, location.error());
    }
    if (auto single = requireOneExtent(*location); !single) {
        return refuse(options, command, single.error());
    }
    const RecordFields fields{lba ? static_cast<uint32_t>(*lba) : location->extentLba,
                              size ? std::optional(static_cast<uint32_t>(*size)) : std::nullopt};
    auto patched = modifyToc(*session, file->directory, *location, fields, !options.noUndo);
    if (!patched) {
        return refuse(options, command,
                      Error{patched.error().kind,
                            arguments.path + " could not be patched: " + patched.error().message});
    }
    noteStructureAt(*session, command, fields.lba);
    std::vector<std::string> views;
    if (patched->viewNotUpdated) {
        views.push_back(*patched->viewNotUpdated);
    }
    printDone(options, command, "File(s) Patched", {arguments.path}, views);
    return kDone;
}

int runDummy(const EditArguments& arguments, const CommonOptions& options) {
    const std::string command = "dummy";
    auto session = openImage(arguments.image, arguments.layer);
    auto files = session ? filesInImage(*session, arguments.paths)
                         : Result<std::vector<ListedFile>>(session.error());
    if (!files) {
        return refuse(options, command, files.error());
    }
    auto snapshot = snapshotOf(*session, *files);
    auto settled = settleStructures(snapshot, arguments.force);
    if (settled) {
        settled = settleUndo(snapshot, options);
    }
    if (!settled) {
        return refuse(options, command, settled.error());
    }
    const auto report = [&] {
        TerminalProgress progress("Dummying");
        return blankFiles(snapshot, progress);
    }();
    std::vector<std::string> failures;
    for (const auto& failure : report.failures) {
        failures.push_back(utf8FromImageBytes(failure.rowName) + ": " + failure.error.message);
    }
    if (!failures.empty()) {
        std::string message = "These files were not replaced with a dummy file:";
        for (const auto& failure : failures) {
            message += "\n" + failure;
        }
        return refuse(options, command, Error{ErrorKind::Io, message});
    }
    printDone(options, command, "File Replaced With a Dummy File", arguments.paths, {});
    return kDone;
}

int runOverwrite(const EditArguments& arguments, const CommonOptions& options) {
    const std::string command = "overwrite";
    auto session = openImage(arguments.image, arguments.layer);
    auto file =
        session ? fileInImage(*session, arguments.path) : Result<VolumePath>(session.error());
    if (!file) {
        return refuse(options, command, file.error());
    }
    auto snapshot = session->snapshot(file->directory, {*file->rowName});
    auto settled = settleStructures(snapshot, arguments.force);
    if (settled) {
        settled = settleUndo(snapshot, options);
    }
    if (!settled) {
        return refuse(options, command, settled.error());
    }
    const auto replaced = [&] {
        TerminalProgress progress("Replacing");
        return overwriteFile(snapshot, arguments.replacement, progress);
    }();
    if (!replaced) {
        return refuse(options, command,
                      Error{replaced.error().kind,
                            arguments.path + " was not replaced: " + replaced.error().message});
    }
    printDone(options, command, "Selected File Replaced.", {arguments.path}, {});
    return kDone;
}

}  // namespace

std::vector<Command> addEditCommands(CLI::App& app, const CommonOptions& options) {
    std::vector<Command> commands;
    auto relink = std::make_shared<EditArguments>();
    auto* parser = addEdit(app, "relink", "Point files' records at a master file's data", *relink);
    parser->add_option("--master", relink->master, "The master file")->required();
    parser->add_flag("--with-size", relink->withSize, "Give them the master's size too");
    parser->add_option("PATH", relink->paths, "The files to relink")->required();
    commands.push_back({parser, [relink, &options] { return runRelink(*relink, options); }});

    auto record = std::make_shared<EditArguments>();
    parser = addEdit(app, "set-record", "Write a file record's LBA and size, as Modify TOC does",
                     *record);
    parser->add_option("PATH", record->path, "The file")->required();
    parser->add_option("--lba", record->lba, "The new LBA, -2147483648 to 4294967295");
    parser->add_option("--size", record->size, "The new size, 0 to 4294967295");
    commands.push_back({parser, [record, &options] { return runSetRecord(*record, options); }});

    auto dummy = std::make_shared<EditArguments>();
    parser = addEdit(app, "dummy", "Set files' data in the image to zeros", *dummy);
    parser->add_option("PATH", dummy->paths, "The files")->required();
    parser->add_flag("--force", dummy->force, kForceHelp);
    commands.push_back({parser, [dummy, &options] { return runDummy(*dummy, options); }});

    auto overwrite = std::make_shared<EditArguments>();
    parser =
        addEdit(app, "overwrite", "Write a replacement's bytes over a file's data", *overwrite);
    parser->add_option("PATH", overwrite->path, "The file")->required();
    parser->add_option("REPLACEMENT", overwrite->replacement, "The replacement file")->required();
    parser->add_flag("--force", overwrite->force, kForceHelp);
    commands.push_back(
        {parser, [overwrite, &options] { return runOverwrite(*overwrite, options); }});
    return commands;
}

}  // namespace kestrel::cli
