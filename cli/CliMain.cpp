// kestrel-cli: the editor's operations from the command line, over the same core session.
#include <CLI/CLI.hpp>
#include <csignal>
#include <vector>

#include "cli/Command.h"
#include "cli/EscapedStreams.h"

namespace {

using namespace kestrel::cli;

int run(int argc, char** argv) {
    const EscapedStreams escaped;
    CLI::App app{"Edits ISO 9660 and UDF disc images in place, as the Kestrel window does."};
    app.name("kestrel-cli");
    app.set_version_flag("--version", "kestrel-cli " KESTREL_VERSION);
    app.require_subcommand(1);
    // Options given before or after the command name mean the same.
    app.fallthrough();
    CommonOptions options;
    app.add_flag("--json", options.json, "Write the result as JSON on stdout");
    app.add_flag("--no-undo", options.noUndo,
                 "Edit without keeping undo data, also when the journal cannot be written");

    std::vector<Command> commands = {addInfoCommand(app, options), addListCommand(app, options),
                                     addExtractCommand(app, options)};
    for (auto&& group : {addEditCommands(app, options), addMapCommands(app, options)}) {
        commands.insert(commands.end(), group.begin(), group.end());
    }
    commands.push_back(addUndoCommand(app, options));
    commands.push_back(addApplyCommand(app, options));
    commands.push_back(addReplaceCommand(app, options));
    commands.push_back(addAddCommand(app, options));
    commands.push_back(addPatchCommand(app, options));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kDone : kBadUsage;
    }
    for (const auto& command : commands) {
        if (command.parser->parsed()) {
            return command.run();
        }
    }
    return kBadUsage;
}

}  // namespace

int main(int argc, char** argv) {
    // Past a file size limit (ulimit -f) a write would kill the program mid-edit; ignored, the
    // write fails with EFBIG, so the edit is put back from the journal and reported.
    std::signal(SIGXFSZ, SIG_IGN);
    return run(argc, argv);
}
