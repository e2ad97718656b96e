// kestrel-patch-bench SCRATCH_FOLDER
//
// Times `kestrel-cli patch`, run as a user runs it, on a DVD image that holds one 1 GiB file
// and little else, after two edits of that file: a Dummy, whose patch is a run of zeros a
// window, and an Overwrite with a gigabyte of pseudo-random bytes, whose patch carries all of
// them. Each is measured against `cp` copying the same gigabyte in the same run. Before the
// timed rounds each patch is applied with `xdelta3 -d` to the image as it was and the result
// compared with the edited image in full. Needs about 6 GiB in SCRATCH_FOLDER (the image, its
// original, the journal's copy of the old bytes, the replacement, the patch and the copy) and
// removes all of it at the end.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "PatternBytes.h"
#include "SideBySide.h"
#include "isobuilder/IsoBuilder.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;
using namespace kestrel::bench;

constexpr uint32_t kFileBytes = uint32_t{1} << 30;
constexpr uint32_t kFileLba = 1024;  // behind the DVD layout's path tables and directories
constexpr uint64_t kFileOffset = uint64_t{kFileLba} * isobuilder::kSectorSize;
constexpr int kTimedRounds = 5;
const PatternBytes kFileData(1);
const PatternBytes kReplacementData(2);

struct Scratch {
    explicit Scratch(const fs::path& folder)
        : root(folder / "kestrel-patch-bench"),
          image((root / "image.iso").string()),
          original((root / "original.iso").string()),
          replacement((root / "replacement.bin").string()),
          patch((root / "edits.vcdiff").string()),
          copy((root / "copy.bin").string()),
          applied((root / "applied.iso").string()) {
        fs::remove_all(root);
        fs::create_directories(root);
        ::setenv("XDG_STATE_HOME", (root / "state").c_str(), 1);
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    fs::path root;
    std::string image;
    std::string original;
    std::string replacement;
    std::string patch;
    std::string copy;
    std::string applied;
};

void makeImage(const Scratch& files) {
    isobuilder::IsoBuilder builder(isobuilder::Layout::Dvd, "BENCH");
    isobuilder::FileSpec bigFile;
    bigFile.identifier = "BIG.BIN;1";
    bigFile.size = kFileBytes;
    bigFile.lba = kFileLba;
    builder.addFile(isobuilder::IsoBuilder::kRoot, std::move(bigFile));
    builder.writeTo(files.image);
    writeStretch(files.image, kFileOffset, kFileBytes, kFileData);
    fs::copy_file(files.image, files.original, fs::copy_options::overwrite_existing);
}

// The edit, made once with the journal kept, then the patch of it against cp of the file.
void contestAfter(const Scratch& files, const std::string& name,
                  const std::vector<std::string>& edit, const Expected& edited) {
    fs::remove_all(fs::path(files.root) / "state");
    fs::copy_file(files.original, files.image, fs::copy_options::overwrite_existing);
    runTool(edit);
    const Contest contest{
        name,
        [&] {
            fs::remove(files.patch);
            fs::remove(files.copy);
        },
        {{"ours",
          [&] {
              runTool({KESTREL_CLI, "patch", files.image, "--format", "vcdiff", "-o", files.patch});
          }},
         {"cp",
          [&] {
              runTool({"cp", files.replacement, files.copy});
          }}},
        [&](const std::string& side, bool whole) {
            if (side != "ours" || !whole) {
                return;
            }
            std::printf("  %-10s patch %llu bytes\n", name.c_str(),
                        static_cast<unsigned long long>(fs::file_size(files.patch)));
            runTool({"xdelta3", "-d", "-f", "-s", files.original, files.patch, files.applied});
            checkStretch("xdelta3 -d of our patch", files.applied, kFileOffset, kFileBytes, edited);
            if (fs::file_size(files.applied) != fs::file_size(files.image)) {
                throw std::runtime_error("xdelta3 -d made an image of another size");
            }
            fs::remove(files.applied);
        }};
    printTimings(contest, kFileBytes, runContest(contest, kTimedRounds));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kestrel-patch-bench SCRATCH_FOLDER\n");
        return 2;
    }
    try {
        const Scratch files(argv[1]);
        makeImage(files);
        writeStretch(files.replacement, 0, kFileBytes, kReplacementData, true);
        std::printf(
            "kestrel-cli patch of edits of a %u-byte file in a DVD image, median of %d runs;\n"
            "cp copies a file of the same size. Each patch applied with xdelta3 -d first.\n\n",
            kFileBytes, kTimedRounds);
        contestAfter(files, "Dummy", {KESTREL_CLI, "dummy", files.image, "/BIG.BIN"}, std::nullopt);
        contestAfter(files, "Overwrite",
                     {KESTREL_CLI, "overwrite", files.image, "/BIG.BIN", files.replacement},
                     kReplacementData);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrel-patch-bench: %s\n", error.what());
        return 1;
    }
    return 0;
}
