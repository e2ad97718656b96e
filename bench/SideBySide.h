// Runs our core call and dd on the same bytes in turns and reports their median times.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kestrel::bench {

struct Contest {
    std::string name;
    // Untimed, before every run of either side: brings the files to the same starting state.
    std::function<void()> prepare;
    std::function<void()> runOurs;
    std::function<void()> runDd;
    // Untimed, after every run; `whole` asks for every byte rather than sampled windows.
    // Throws when the run's result is wrong.
    std::function<void(const std::string& side, bool whole)> check;
};

struct Timings {
    std::vector<double> oursSeconds;
    std::vector<double> ddSeconds;
};

// One untimed warm-up round (checked in full), then `rounds` timed ones. Who goes first
// alternates from round to round, so neither side always inherits the other's cache state.
Timings runContest(const Contest& contest, int rounds);

// Prints the medians, the throughputs and the ratio of our throughput to dd's.
void printTimings(const std::string& name, uint64_t bytes, const Timings& timings);

// Runs dd with these arguments (no shell between) and throws unless it exits with 0.
void runDd(const std::vector<std::string>& arguments);

// The standard output of a command, without its last newline; "?" when it cannot be run.
std::string commandOutput(const std::vector<std::string>& command);

}  // namespace kestrel::bench
