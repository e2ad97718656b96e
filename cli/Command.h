// A command of the tool: its subcommand in the argument parser, and what runs it once the
// arguments are read. Each command file adds one.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <vector>

#include "cli/CliOutput.h"

namespace kestrel::cli {

struct Command {
    CLI::App* parser = nullptr;
    std::function<int()> run;
};

Command addInfoCommand(CLI::App& app, const CommonOptions& options);
Command addListCommand(CLI::App& app, const CommonOptions& options);
Command addExtractCommand(CLI::App& app, const CommonOptions& options);
// relink, set-record, dummy, overwrite
std::vector<Command> addEditCommands(CLI::App& app, const CommonOptions& options);
Command addUndoCommand(CLI::App& app, const CommonOptions& options);
// map, whois
std::vector<Command> addMapCommands(CLI::App& app, const CommonOptions& options);
Command addApplyCommand(CLI::App& app, const CommonOptions& options);
Command addReplaceCommand(CLI::App& app, const CommonOptions& options);
Command addAddCommand(CLI::App& app, const CommonOptions& options);
Command addPatchCommand(CLI::App& app, const CommonOptions& options);

}  // namespace kestrel::cli
