// kestrel-replace-bench SCRATCH_FOLDER
//
// Times a Replace that places a file whole at the volume's end: a 1 GiB file of a DVD image
// replaced by a 1.5 GiB one, through kestrel-cli with the undo journal and without it, against
// dd writing the same bytes at the same place and syncing them, in the same run. Appended
// sectors held nothing before, so the journal has no old bytes of theirs to keep: with undo
// the command should cost what dd costs. Needs about 4 GiB in SCRATCH_FOLDER and removes it
// all at the end.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "PatternBytes.h"
#include "SideBySide.h"
#include "isobuilder/IsoBuilder.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel::bench;

constexpr uint32_t kFileBytes = uint32_t{1} << 30;
constexpr uint64_t kReplacementBytes = uint64_t{3} << 29;
constexpr uint32_t kFileLba = 300;
constexpr uint32_t kVolumeSectors = kFileLba + kFileBytes / 2048;
constexpr uint64_t kVolumeEnd = uint64_t{kVolumeSectors} * 2048;
constexpr int kTimedRounds = 5;
constexpr int kSampledWindows = 64;
const PatternBytes kFileData(1);
const PatternBytes kReplacementData(2);

struct Scratch {
    explicit Scratch(const fs::path& folder)
        : image(folder / "kestrel-replace-bench.iso"),
          head(folder / "kestrel-replace-bench.head"),
          replacement(folder / "kestrel-replace-bench.bin"),
          state(folder / "kestrel-replace-bench-state") {
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() {
        std::error_code ignored;
        for (const auto& path : {image, head, replacement, state}) {
            fs::remove_all(path, ignored);
        }
    }
    fs::path image;
    fs::path head;  // the sectors before the file's data: descriptors and directories
    fs::path replacement;
    fs::path state;
};

void makeFiles(const Scratch& files) {
    kestrel::isobuilder::IsoBuilder builder(kestrel::isobuilder::Layout::Dvd, "BENCH");
    kestrel::isobuilder::FileSpec big;
    big.identifier = "BIG.BIN;1";
    big.size = kFileBytes;
    big.lba = kFileLba;
    builder.addFile(kestrel::isobuilder::IsoBuilder::kRoot, std::move(big));
    builder.setVolumeSectors(kVolumeSectors);
    builder.writeTo(files.image);
    writeStretch(files.image, uint64_t{kFileLba} * 2048, kFileBytes, kFileData);
    writeStretch(files.replacement, 0, kReplacementBytes, kReplacementData, true);
    runTool({"dd", "if=" + files.image.string(), "of=" + files.head.string(), "bs=2048",
             "count=" + std::to_string(kFileLba), "status=none"});
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrel-replace-bench SCRATCH_FOLDER\n");
        return 2;
    }
    try {
        const Scratch files(argv[1]);
        makeFiles(files);
        const std::string image = files.image.string();
        const std::string replacement = files.replacement.string();
        const auto windows = sampleWindows(kReplacementBytes, kSampledWindows);
        const auto cli = [&](bool undo) {
            std::vector<std::string> command{KESTREL_CLI, "replace", image, "/BIG.BIN",
                                             replacement};
            if (!undo) {
                command.push_back("--no-undo");
            }
            runTool(command);
        };
        const Contest contest{
            "Replace",
            [&] {
                // The image as it was made: its length, and the descriptors and record that a
                // run rewrites; the old file's sectors are never written.
                fs::resize_file(files.image, kVolumeEnd);
                runTool({"dd", "if=" + files.head.string(), "of=" + image, "conv=notrunc,fsync",
                         "status=none"});
                fs::remove_all(files.state);
            },
            {{"cli", [&] { cli(true); }},
             {"cli-no-undo", [&] { cli(false); }},
             {"dd",
              [&] {
                  runTool({"dd", "if=" + replacement, "of=" + image, "bs=4M",
                           "seek=" + std::to_string(kVolumeEnd), "oflag=seek_bytes",
                           "conv=notrunc,fsync", "status=none"});
              }}},
            [&](const std::string& side, bool whole) {
                if (whole) {
                    checkStretch(side, image, kVolumeEnd, kReplacementBytes, kReplacementData);
                } else {
                    checkWindows(side, image, kVolumeEnd, windows, kReplacementData);
                }
            }};
        std::printf(
            "Replace of a %u-byte file by a %llu-byte one placed at the volume's end (byte "
            "%llu), kestrel-cli with and without undo against dd conv=fsync writing the same "
            "bytes there; one checked warm-up round, then %d timed rounds taking turns\n",
            kFileBytes, static_cast<unsigned long long>(kReplacementBytes),
            static_cast<unsigned long long>(kVolumeEnd), kTimedRounds);
        printTimings(contest, kReplacementBytes, runContest(contest, kTimedRounds));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrel-replace-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
