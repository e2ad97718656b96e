// Runs our core call and other tools on the same bytes in turns and reports their median
// times.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel::bench {

struct Side {
    std::string name;
    std::function<void()> run;
};

struct Contest {
    std::string name;
    // Untimed, before every run of any side: brings the files to the same starting state.
    std::function<void()> prepare;
    // Ours first, then the tools it is measured against.
    std::vector<Side> sides;
    // Untimed, after every run; `whole` asks for every byte rather than sampled windows.
    // Throws when the run's result is wrong.
    std::function<void(const std::string& side, bool whole)> check;
};

// Per side, in the contest's order, the time of each timed round.
using Timings = std::vector<std::vector<double>>;

// One untimed warm-up round (checked in full), then `rounds` timed ones. Who goes first
// turns from round to round, so no side always inherits another's cache state.
Timings runContest(const Contest& contest, int rounds);

double median(std::vector<double> values);

// Prints the medians, the throughputs and the ratio of our throughput to each tool's.
void printTimings(const Contest& contest, uint64_t bytes, const Timings& timings);

// Runs the command (no shell between) with its standard output discarded, and throws unless
// it exits with 0.
void runTool(const std::vector<std::string>& command);

// The standard output of a command, without its last newline; "?" when it cannot be run.
std::string commandOutput(const std::vector<std::string>& command);

}  // namespace kestrel::bench
