#include "SideBySide.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

extern char** environ;

namespace kestrel::bench {

namespace {

double secondsOf(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::ranges::sort(values);
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::vector<char*> argv(const std::vector<std::string>& command) {
    std::vector<char*> pointers;
    for (const auto& argument : command) {
        pointers.push_back(const_cast<char*>(argument.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::string describe(const std::vector<std::string>& command) {
    std::string text;
    for (const auto& argument : command) {
        text += (text.empty() ? "" : " ") + argument;
    }
    return text;
}

}  // namespace

Timings runContest(const Contest& contest, int rounds) {
    contest.prepare();
    contest.runOurs();
    contest.check("ours", true);
    contest.prepare();
    contest.runDd();
    contest.check("dd", true);

    Timings timings;
    for (int round = 0; round < rounds; ++round) {
        const auto runOurs = [&] {
            contest.prepare();
            timings.oursSeconds.push_back(secondsOf(contest.runOurs));
            contest.check("ours", false);
        };
        const auto runDd = [&] {
            contest.prepare();
            timings.ddSeconds.push_back(secondsOf(contest.runDd));
            contest.check("dd", false);
        };
        if (round % 2 == 0) {
            runOurs();
            runDd();
        } else {
            runDd();
            runOurs();
        }
    }
    return timings;
}

void printTimings(const std::string& name, uint64_t bytes, const Timings& timings) {
    const double mebibytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
    const double ours = median(timings.oursSeconds);
    const double dd = median(timings.ddSeconds);
    const auto row = [&](const char* side, double seconds, const std::vector<double>& runs) {
        std::printf("  %-9s %-5s median %7.3f s  %8.1f MiB/s   runs:", name.c_str(), side, seconds,
                    mebibytes / seconds);
        for (const double run : runs) {
            std::printf(" %.3f", run);
        }
        std::printf("\n");
    };
    row("ours", ours, timings.oursSeconds);
    row("dd", dd, timings.ddSeconds);
    std::printf("  %-9s ours/dd throughput %.2f\n", name.c_str(), dd / ours);
    std::fflush(stdout);
}

void runDd(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"dd"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    auto pointers = argv(command);
    pid_t child = 0;
    if (::posix_spawnp(&child, "dd", nullptr, nullptr, pointers.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + describe(command));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("lost " + describe(command));
        }
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("failed: " + describe(command));
    }
}

std::string commandOutput(const std::vector<std::string>& command) {
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) {
        return "?";
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    ::posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    auto pointers = argv(command);
    pid_t child = 0;
    const bool started = ::posix_spawnp(&child, command.front().c_str(), &actions, nullptr,
                                        pointers.data(), environ) == 0;
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[1]);
    std::string output;
    char buffer[256];
    while (started) {
        const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        output.append(buffer, static_cast<size_t>(got));
    }
    ::close(pipeEnds[0]);
    int status = 0;
    if (!started || ::waitpid(child, &status, 0) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        return "?";
    }
    if (!output.empty() && output.back() == '\n') {
        output.pop_back();
    }
    return output;
}

}  // namespace kestrel::bench
