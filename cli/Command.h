// A command of the tool: its subcommand in the argument parser, and what runs it once the
// arguments are read. Each command file adds one.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

#include "cli/CliOutput.h"

namespace kestrel::cli {

struct Command {
    CLI::App* parser = nullptr;
    std::function<int()> run;
};

Command addListCommand(CLI::App& app, const CommonOptions& options);

}  // namespace kestrel::cli
