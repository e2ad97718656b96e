// kestrel-directories-bench SCRATCH_FOLDER [ROUNDS]
//
// Times opening an image and listing every directory of it, for images genisoimage writes of
// 1,000, 10,000 and 65,535 directories (the most a path table can number), through the core
// (the open alone, and the open with every directory listed) and through kestrel-cli ls -R,
// against isoinfo -l listing the same image in the same run. Each directory is listed once,
// so the time per directory should stay the same from the smallest image to the largest.
// Needs about 300 MB in SCRATCH_FOLDER and removes what it wrote there at the end.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "SideBySide.h"
#include "ops/Session.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;
using namespace kestrel::bench;

constexpr int kDefaultRounds = 5;
constexpr size_t kSizes[] = {1000, 10000, 65535};

struct Scratch {
    explicit Scratch(const fs::path& folder)
        : tree(folder / "kestrel-directories-tree"),
          image(folder / "kestrel-directories.iso"),
          state(folder / "kestrel-directories-state") {
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        std::error_code ignored;
        for (const auto& path : {tree, image, state}) {
            fs::remove_all(path, ignored);
        }
    }

    fs::path tree, image, state;
};

// `directories` in all, the root among them: two levels, about the square root of them under
// the root, each holding as many and one small file.
void makeImage(const Scratch& scratch, size_t directories) {
    fs::remove_all(scratch.tree);
    fs::remove_all(scratch.image);
    fs::create_directories(scratch.tree);
    const auto across = static_cast<size_t>(std::sqrt(static_cast<double>(directories))) + 1;
    size_t made = 1;
    for (size_t top = 0; made < directories; ++top) {
        char name[32];
        std::snprintf(name, sizeof name, "T%04zu", top);
        const fs::path folder = scratch.tree / name;
        fs::create_directory(folder);
        std::ofstream(folder / "FILE.TXT") << "file " << top << '\n';
        ++made;
        for (size_t below = 0; below + 1 < across && made < directories; ++below, ++made) {
            std::snprintf(name, sizeof name, "S%04zu", below);
            fs::create_directory(folder / name);
        }
    }
    runTool({"genisoimage", "-quiet", "-o", scratch.image.string(), scratch.tree.string()});
}

Session openSession(const fs::path& image) {
    auto session = Session::open(image.string());
    if (!session) {
        throw std::runtime_error(session.error().message);
    }
    return std::move(*session);
}

size_t linesStarting(const std::string& text, const std::string& start) {
    size_t lines = 0;
    for (size_t at = 0; at < text.size();) {
        lines += text.compare(at, start.size(), start) == 0;
        const size_t end = text.find('\n', at);
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

// Once, untimed: each side sees every directory once.
void checkListings(const Scratch& scratch, size_t directories) {
    auto session = openSession(scratch.image);
    if (session.volume().directories.size() != directories) {
        throw std::runtime_error("the core reads " +
                                 std::to_string(session.volume().directories.size()) +
                                 " directories instead of " + std::to_string(directories));
    }
    const auto listed =
        linesStarting(commandOutput({KESTREL_CLI, "ls", "-R", scratch.image.string()}), "Name ");
    const auto witnessed = linesStarting(
        commandOutput({"isoinfo", "-l", "-i", scratch.image.string()}), "Directory listing of ");
    if (listed != directories || witnessed != directories) {
        throw std::runtime_error("kestrel-cli ls -R lists " + std::to_string(listed) +
                                 " directories and isoinfo -l " + std::to_string(witnessed) +
                                 ", not " + std::to_string(directories));
    }
}

Contest listingContest(const Scratch& scratch) {
    const std::string image = scratch.image.string();
    return {
        .name = "Directories",
        .prepare = [] {},
        .sides = {{"open", [&] { (void)openSession(scratch.image); }},
                  {"open+list",
                   [&] {
                       auto session = openSession(scratch.image);
                       for (const auto& directory : session.volume().directories) {
                           if (!session.listDirectory(directory.number)) {
                               throw std::runtime_error("a directory could not be listed");
                           }
                       }
                   }},
                  {"ls -R",
                   [=] {
                       runTool({KESTREL_CLI, "ls", "-R", image});
                   }},
                  {"isoinfo -l",
                   [=] {
                       runTool({"isoinfo", "-l", "-i", image});
                   }}},
        // The listings were checked once before the timed rounds; the image is only read.
        .check = [](const std::string&, bool) {},
    };
}

void runBenchmark(const fs::path& folder, int rounds) {
    const auto start = std::chrono::steady_clock::now();
    std::printf(
        "Kestrel directories benchmark: images of 1,000, 10,000 and 65,535 directories, "
        "%d timed rounds\n",
        rounds);
    std::printf("load before: %s\n", commandOutput({"cat", "/proc/loadavg"}).c_str());
    const Scratch scratch(folder);
    const Contest contest = listingContest(scratch);
    std::vector<std::vector<double>> perDirectory;  // by size, then side: microseconds
    for (const size_t directories : kSizes) {
        makeImage(scratch, directories);
        checkListings(scratch, directories);
        const Timings timings = runContest(contest, rounds);
        std::printf("%zu directories, %.1f MiB image:\n", directories,
                    static_cast<double>(fs::file_size(scratch.image)) / (1024.0 * 1024.0));
        auto& micros = perDirectory.emplace_back();
        for (size_t side = 0; side < contest.sides.size(); ++side) {
            const double seconds = median(timings[side]);
            micros.push_back(seconds * 1e6 / static_cast<double>(directories));
            std::printf("  %-11s median %7.3f s  %7.2f us a directory   runs:",
                        contest.sides[side].name.c_str(), seconds, micros.back());
            for (const double run : timings[side]) {
                std::printf(" %.3f", run);
            }
            std::printf("\n");
        }
        std::printf("  ls -R / isoinfo -l %.2f\n", median(timings[2]) / median(timings[3]));
        std::fflush(stdout);
    }
    std::printf("time a directory, %zu against %zu directories (1.00 grows in proportion):\n",
                kSizes[2], kSizes[0]);
    for (size_t side = 0; side < contest.sides.size(); ++side) {
        std::printf("  %-11s %5.2f\n", contest.sides[side].name.c_str(),
                    perDirectory.back()[side] / perDirectory.front()[side]);
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("load after: %s; whole benchmark %.0f s\n",
                commandOutput({"cat", "/proc/loadavg"}).c_str(), elapsed.count());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || !fs::is_directory(argv[1])) {
        std::fprintf(stderr,
                     "usage: kestrel-directories-bench SCRATCH_FOLDER [ROUNDS] (an existing "
                     "folder)\n");
        return 2;
    }
    try {
        runBenchmark(fs::absolute(argv[1]), argc == 3 ? std::atoi(argv[2]) : kDefaultRounds);
    } catch (const std::exception& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "kestrel-directories-bench: FAILED: %s\n", failure.what());
        return 1;
    }
    return 0;
}
