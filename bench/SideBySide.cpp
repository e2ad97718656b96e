#include "SideBySide.h"

#include <fcntl.h>
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

double median(std::vector<double> values) {
    std::ranges::sort(values);
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

Timings runContest(const Contest& contest, int rounds) {
    for (const auto& side : contest.sides) {
        contest.prepare();
        side.run();
        contest.check(side.name, true);
    }
    Timings timings(contest.sides.size());
    for (int round = 0; round < rounds; ++round) {
        for (size_t turn = 0; turn < contest.sides.size(); ++turn) {
            const size_t index = (round + turn) % contest.sides.size();
            const auto& side = contest.sides[index];
            contest.prepare();
            timings[index].push_back(secondsOf(side.run));
            contest.check(side.name, false);
        }
    }
    return timings;
}

void printTimings(const Contest& contest, uint64_t bytes, const Timings& timings) {
    const double mebibytes = static_cast<double>(bytes) / (1024.0 * 1024.0);
    const char* name = contest.name.c_str();
    for (size_t index = 0; index < contest.sides.size(); ++index) {
        const double seconds = median(timings[index]);
        std::printf("  %-10s %-6s median %7.3f s  %8.1f MiB/s   runs:", name,
                    contest.sides[index].name.c_str(), seconds, mebibytes / seconds);
        for (const double run : timings[index]) {
            std::printf(" %.3f", run);
        }
        std::printf("\n");
    }
    for (size_t index = 1; index < contest.sides.size(); ++index) {
        std::printf("  %-10s ours/%s throughput %.2f\n", name, contest.sides[index].name.c_str(),
                    median(timings[index]) / median(timings[0]));
    }
    std::fflush(stdout);
}

void runTool(const std::vector<std::string>& command) {
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    auto pointers = argv(command);
    pid_t child = 0;
    const int started = ::posix_spawnp(&child, command.front().c_str(), &actions, nullptr,
                                       pointers.data(), environ);
    ::posix_spawn_file_actions_destroy(&actions);
    if (started != 0) {
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
