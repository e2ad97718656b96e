// kestrel-transfer-bench SCRATCH_FOLDER
//
// Times the three operations that move a file's data (Extract, Dummy, Overwrite) on a 1 GiB
// file lying beyond 4 GiB in a sparse DVD image, against dd moving the same bytes in the
// same run; and Extract into an empty folder and over an older copy against 7z and bsdtar
// taking the same file out of the same image. Dummy and Overwrite run through the core and
// through kestrel-cli, and are also timed against the least any undo journal that copies the
// old bytes can cost: dd copying them to a new file beside the journal, synced, then dd
// writing the new bytes, synced. Needs about 6 GiB in SCRATCH_FOLDER (the file's data inside
// the image, a replacement file, extracted copies and the journal or the floor's copy) and
// removes all of it at the end.
//
// Then, where the machine lets it mount a file system (as root), Dummy and Overwrite again on
// an XFS file system with shared extents made in a file in SCRATCH_FOLDER and loop-mounted,
// the image and the journal both on it, so that the journal clones the old blocks: with the
// journal against our own edit without it, through the core and through kestrel-cli. With
// --shared-extents-only, that part alone.

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "PatternBytes.h"
#include "SideBySide.h"
#include "isobuilder/IsoBuilder.h"
#include "ops/Blanking.h"
#include "ops/ByteProgress.h"
#include "ops/Extraction.h"
#include "ops/OperationSnapshot.h"
#include "ops/Overwrite.h"
#include "ops/Session.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;
using namespace kestrel::bench;

constexpr uint32_t kFileBytes = uint32_t{1} << 30;
constexpr const char* kRowName = "BIG.BIN";
// Byte 4,505,600,000: past 4 GiB, so every offset needs 64 bits.
constexpr uint32_t kFileLba = 2'200'000;
constexpr uint64_t kFileOffset = uint64_t{kFileLba} * isobuilder::kSectorSize;
constexpr uint32_t kVolumeSectors = 2'883'584;  // 5.5 GiB
constexpr uint64_t kImageBytes = uint64_t{kVolumeSectors} * isobuilder::kSectorSize;
constexpr int kTimedRounds = 5;
constexpr int kSampledWindows = 64;
const PatternBytes kFileData(1);
const PatternBytes kReplacementData(2);

// Counts what an operation reports; never asks it to stop.
class CountingObserver : public OperationObserver {
public:
    void beginFile(const std::string&) override { ++files; }
    void showPercent(int percent) override {
        ++percentSteps;
        lastPercent = percent;
    }
    bool stopRequested() override {
        ++stopQuestions;
        return false;
    }
    void reset() { files = percentSteps = lastPercent = stopQuestions = 0; }
    // The counts one file of kFileBytes must give; throws otherwise.
    void checkOneFile(const std::string& operation) const {
        const int finalPercent = ByteProgress(kFileBytes).percentAfter(kFileBytes);
        if (files != 1 || lastPercent != finalPercent || percentSteps != finalPercent) {
            throw std::runtime_error(operation + ": the observer saw " + std::to_string(files) +
                                     " files and " + std::to_string(percentSteps) +
                                     " percent steps ending at " + std::to_string(lastPercent));
        }
    }
    std::string summary() const {
        return std::to_string(files) + " beginFile, " + std::to_string(percentSteps) +
               " showPercent, " + std::to_string(stopQuestions) + " stopRequested";
    }

    int files = 0;
    int percentSteps = 0;
    int lastPercent = 0;
    int stopQuestions = 0;
};

// Everything the benchmark writes, removed however it ends.
struct ScratchFiles {
    explicit ScratchFiles(const fs::path& folder)
        : image(folder / "kestrel-bench.iso"),
          replacement(folder / "kestrel-bench-replacement.bin"),
          extractFolder(folder / "kestrel-bench-extract"),
          toolFolder(folder / "kestrel-bench-tools"),
          stateFolder(folder / "kestrel-bench-state"),
          configFolder(folder / "kestrel-bench-config") {
        // The undo journals live beside the image, on the same disk, and go with it; what the
        // core and kestrel-cli start inherits both variables.
        ::setenv("XDG_STATE_HOME", stateFolder.c_str(), 1);
        // An empty configuration: the undo limits kestrel-cli checks are the defaults, which
        // take the gigabyte, whatever the user running the benchmark has set.
        ::setenv("XDG_CONFIG_HOME", configFolder.c_str(), 1);
    }
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;
    ~ScratchFiles() {
        std::error_code ignored;
        fs::remove(image, ignored);
        fs::remove(replacement, ignored);
        fs::remove_all(extractFolder, ignored);
        fs::remove_all(toolFolder, ignored);
        fs::remove_all(stateFolder, ignored);
        fs::remove_all(configFolder, ignored);
    }
    // Each run starts with no journal entries, as a user's first edit of the day would.
    void dropJournals() const { fs::remove_all(stateFolder); }

    fs::path image;
    fs::path replacement;
    fs::path extractFolder;
    fs::path toolFolder;
    fs::path stateFolder;
    fs::path configFolder;
};

// The value on the first "key: value" line of a /proc file such as /proc/cpuinfo.
std::string procValue(const char* file, const std::string& key) {
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const auto colon = line.find(':');
        if (line.starts_with(key) && colon != std::string::npos) {
            const auto value = line.find_first_not_of(" \t", colon + 1);
            return value == std::string::npos ? "?" : line.substr(value);
        }
    }
    return "?";
}

void printMachine(const fs::path& folder) {
    utsname system{};
    ::uname(&system);
    std::printf("machine: nproc %s, CPU %s, RAM %s, kernel %s\n", commandOutput({"nproc"}).c_str(),
                procValue("/proc/cpuinfo", "model name").c_str(),
                procValue("/proc/meminfo", "MemTotal").c_str(), system.release);
    // stat -f names ext4 "ext2/ext3"; the mount table names it.
    std::printf("scratch: %s (filesystem %s)\n", folder.c_str(),
                commandOutput({"findmnt", "-n", "-o", "FSTYPE", "-T", folder.string()}).c_str());
}

void printMethod() {
    std::printf(
        "file: %s, %u bytes at LBA %u (byte %llu), in a sparse %.2f GiB DVD image\n"
        "method: per operation one warm-up round checked byte for byte, then %d timed\n"
        "  rounds checked in %d sampled 4 KiB windows; the sides take turns, and who goes\n"
        "  first moves on each round. Each time is one whole call or command\n"
        "  (steady_clock). The page cache is not dropped (that needs root); every side runs\n"
        "  equally warm or cold since they take turns. Extract: no side syncs its output.\n"
        "  Dummy and Overwrite: every side fsyncs the image; ours runs with the undo journal\n"
        "  (in the scratch folder, emptied before each run) and without it, over data that\n"
        "  does not compress, or over zeros (Dummy-zeros); kestrel-cli runs with the\n"
        "  journal, as a user's command does by default. floor: dd copies the old bytes to a\n"
        "  new file in the journal's folder with conv=fsync, then dd writes the new bytes\n"
        "  with conv=fsync, both in one timed run: the least any journal that copies the old\n"
        "  bytes can cost. X/floor throughput is the floor's time / X's time, 0.90 the\n"
        "  target. Empty-dir and Re-extract: ours, 7z x and bsdtar -x take the file out of\n"
        "  the image into an empty folder, or over an older copy holding other bytes, made\n"
        "  and synced before each run; every result is checked byte for byte.\n\n",
        kRowName, kFileBytes, kFileLba, static_cast<unsigned long long>(kFileOffset),
        static_cast<double>(kImageBytes) / (1 << 30), kTimedRounds, kSampledWindows + 2);
    std::fflush(stdout);
}

void makeImage(const ScratchFiles& files) {
    isobuilder::IsoBuilder builder(isobuilder::Layout::Dvd, "BENCH");
    isobuilder::FileSpec bigFile;
    bigFile.identifier = std::string(kRowName) + ";1";
    bigFile.size = kFileBytes;
    bigFile.lba = kFileLba;
    builder.addFile(isobuilder::IsoBuilder::kRoot, std::move(bigFile));
    builder.setVolumeSectors(kVolumeSectors);
    builder.writeTo(files.image);
    // Real bytes rather than a hole, so that reads cost what they cost on a real image.
    writeStretch(files.image, kFileOffset, kFileBytes, kFileData);
    writeStretch(files.replacement, 0, kFileBytes, kReplacementData, true);
    fs::create_directory(files.extractFolder);
    fs::create_directory(files.toolFolder);
}

// The snapshot an operation started from the window would work on.
OperationSnapshot snapshotOfBigFile(const ScratchFiles& files) {
    auto session = Session::open(files.image);
    if (!session) {
        throw std::runtime_error(session.error().message);
    }
    OperationSnapshot snapshot = session->snapshot(1, {kRowName});
    const auto& file = snapshot.files.front();
    if (!file.record) {
        throw std::runtime_error(file.record.error().message);
    }
    const auto offset = snapshot.dataOffset(file, kImageBytes);
    if (!offset || *offset != kFileOffset || file.record->dataLength != kFileBytes) {
        throw std::runtime_error("the snapshot does not place " + std::string(kRowName) +
                                 " where the image builder put it");
    }
    return snapshot;
}

void requireSize(const fs::path& path, uint64_t bytes) {
    if (fs::file_size(path) != bytes) {
        throw std::runtime_error(path.string() + " is " + std::to_string(fs::file_size(path)) +
                                 " bytes long, not " + std::to_string(bytes));
    }
}

void requireCleanRun(const OperationReport& report, const std::string& operation) {
    if (!report.failures.empty()) {
        throw std::runtime_error(operation + " failed: " + report.failures.front().error.message);
    }
    if (report.stopped) {
        throw std::runtime_error(operation + " stopped early");
    }
}

// Checks the image's copy of the file's data against `expected`, in full or in windows.
void checkImageData(const ScratchFiles& files, const std::vector<uint64_t>& windows,
                    const std::string& who, bool whole, const Expected& expected) {
    requireSize(files.image, kImageBytes);
    if (whole) {
        checkStretch(who, files.image, kFileOffset, kFileBytes, expected);
    } else {
        checkWindows(who, files.image, kFileOffset, windows, expected);
    }
}

Contest extractContest(const ScratchFiles& files, const OperationSnapshot& snapshot,
                       CountingObserver& observer, const std::vector<uint64_t>& windows) {
    const fs::path ours = files.extractFolder / kRowName;
    const fs::path byDd = files.extractFolder / (std::string("dd-") + kRowName);
    return {
        .name = "Extract",
        .prepare =
            [=] {
                fs::remove(ours);
                fs::remove(byDd);
                // A removed file's writeback still running would slow whichever side is next.
                ::sync();
            },
        .sides = {{"ours",
                   [&, folder = files.extractFolder.string()] {
                       observer.reset();
                       requireCleanRun(extractFiles(snapshot, folder, observer), "Extract");
                   }},
                  {"dd",
                   [=, image = files.image.string()] {
                       runTool({"dd", "if=" + image, "of=" + byDd.string(), "bs=1M",
                                "iflag=skip_bytes,count_bytes",
                                "skip=" + std::to_string(kFileOffset),
                                "count=" + std::to_string(kFileBytes), "status=none"});
                   }}},
        .check =
            [=, &observer](const std::string& side, bool whole) {
                const fs::path output = side == "ours" ? ours : byDd;
                if (side == "ours") {
                    observer.checkOneFile("Extract");
                }
                requireSize(output, kFileBytes);
                if (whole) {
                    checkStretch("Extract (" + side + ")", output, 0, kFileBytes, kFileData);
                } else {
                    checkWindows("Extract (" + side + ")", output, 0, windows, kFileData);
                }
            },
    };
}

// Ours, 7z and bsdtar taking the file out of the image into the same folder, where an older
// copy with other bytes lies when `overOlderCopy`; every result is checked in full.
Contest toolContest(const ScratchFiles& files, const OperationSnapshot& snapshot,
                    CountingObserver& observer, bool overOlderCopy) {
    const std::string name = overOlderCopy ? "Re-extract" : "Empty-dir";
    const std::string image = files.image.string();
    const std::string folder = files.toolFolder.string();
    const fs::path output = files.toolFolder / kRowName;
    return {
        .name = name,
        .prepare =
            [=] {
                fs::remove(output);
                if (overOlderCopy) {
                    writeStretch(output, 0, kFileBytes, kReplacementData, true);
                }
                ::sync();
            },
        .sides = {{"ours",
                   [&, folder] {
                       observer.reset();
                       requireCleanRun(extractFiles(snapshot, folder, observer), "Extract");
                   }},
                  {"7z",
                   [=] {
                       runTool({"7z", "x", "-aoa", "-bd", "-o" + folder, image, kRowName});
                   }},
                  {"bsdtar",
                   [=] {
                       runTool({"bsdtar", "-x", "-f", image, "-C", folder, kRowName});
                   }}},
        .check =
            [=, &observer](const std::string& side, bool) {
                if (side == "ours") {
                    observer.checkOneFile(name);
                }
                requireSize(output, kFileBytes);
                checkStretch(name + " (" + side + ")", output, 0, kFileBytes, kFileData);
            },
    };
}

// Where the file's data lies when Dummy and Overwrite start: data that does not compress, or
// zeros, which the journal records as such.
enum class OldData { Pattern, Zeros };

Expected expectedOf(OldData old) {
    return old == OldData::Pattern ? Expected(kFileData) : std::nullopt;
}

// The sides whose observer is ours to check; kestrel-cli reports to its terminal.
bool throughCore(const std::string& side) {
    return side.starts_with("ours");
}

// dd writing the gigabyte from `source` over the file's data in the image, synced.
std::vector<std::string> ddNewBytes(const ScratchFiles& files, const std::string& source) {
    return {"dd",
            "if=" + source,
            "of=" + files.image.string(),
            "bs=1M",
            "iflag=count_bytes",
            "oflag=seek_bytes",
            "count=" + std::to_string(kFileBytes),
            "seek=" + std::to_string(kFileOffset),
            "conv=notrunc,fsync",
            "status=none"};
}

// Where the floor keeps its copy of the old bytes: a new file in the folder the journal
// writes its entries to, so that it lands on the same disk and folder as ours.
fs::path floorCopyOf(const OperationSnapshot& snapshot) {
    if (!snapshot.journal) {
        throw std::runtime_error(snapshot.journal.error().message);
    }
    return fs::path(snapshot.journal->folder()) / "floor-old-bytes";
}

// The same edit through the core with the undo journal and without it, through kestrel-cli
// with it, by dd writing the new bytes alone, and by the floor: dd copying the old bytes out
// beside the journal, then writing the new ones, each synced.
std::vector<Side> editSides(const ScratchFiles& files, const OperationSnapshot& snapshot,
                            CountingObserver& observer,
                            const std::function<void(const OperationSnapshot&)>& core,
                            const std::vector<std::string>& cli, const std::string& newBytes) {
    OperationSnapshot withoutUndo = snapshot;
    withoutUndo.keepUndo = false;
    const fs::path copy = floorCopyOf(snapshot);
    const std::vector<std::string> copyOut{"dd",
                                           "if=" + files.image.string(),
                                           "of=" + copy.string(),
                                           "bs=1M",
                                           "iflag=skip_bytes,count_bytes",
                                           "skip=" + std::to_string(kFileOffset),
                                           "count=" + std::to_string(kFileBytes),
                                           "conv=fsync",
                                           "status=none"};
    const auto writeIn = ddNewBytes(files, newBytes);
    return {{"ours",
             [&, core] {
                 observer.reset();
                 core(snapshot);
             }},
            {"ours without undo",
             [&, core, withoutUndo] {
                 observer.reset();
                 core(withoutUndo);
             }},
            {"kestrel-cli", [cli] { runTool(cli); }},
            {"dd", [writeIn] { runTool(writeIn); }},
            {"floor", [copy, copyOut, writeIn] {
                 // Every run starts with no journal folder; ours makes it as it starts too.
                 fs::create_directories(copy.parent_path());
                 runTool(copyOut);
                 runTool(writeIn);
             }}};
}

// Checks the image after any side, the observer after ours, and the floor's copy of the old
// bytes after the floor.
std::function<void(const std::string&, bool)> editCheck(const ScratchFiles& files,
                                                        const OperationSnapshot& snapshot,
                                                        const CountingObserver& observer,
                                                        const std::vector<uint64_t>& windows,
                                                        const std::string& name, OldData old,
                                                        const Expected& written) {
    return
        [&, name, old, written, copy = floorCopyOf(snapshot)](const std::string& side, bool whole) {
            const std::string who = name + " (" + side + ")";
            if (throughCore(side)) {
                observer.checkOneFile(name);
            }
            if (side == "floor") {
                requireSize(copy, kFileBytes);
                if (whole) {
                    checkStretch(who, copy.string(), 0, kFileBytes, expectedOf(old));
                } else {
                    checkWindows(who, copy.string(), 0, windows, expectedOf(old));
                }
            }
            checkImageData(files, {}, who, true, written);
        };
}

std::function<void()> prepareOldData(const ScratchFiles& files, OldData old) {
    return [&files, old] {
        files.dropJournals();
        writeStretch(files.image.string(), kFileOffset, kFileBytes, expectedOf(old));
    };
}

Contest blankContest(const ScratchFiles& files, const OperationSnapshot& snapshot,
                     CountingObserver& observer, const std::vector<uint64_t>& windows,
                     OldData old) {
    const std::string name = old == OldData::Pattern ? "Dummy" : "Dummy-zeros";
    return {
        .name = name,
        .prepare = prepareOldData(files, old),
        .sides = editSides(
            files, snapshot, observer,
            [&](const OperationSnapshot& taken) {
                requireCleanRun(blankFiles(taken, observer), "Dummy");
            },
            {KESTREL_CLI, "dummy", files.image.string(), std::string("/") + kRowName}, "/dev/zero"),
        .check = editCheck(files, snapshot, observer, windows, name, old, std::nullopt),
    };
}

Contest overwriteContest(const ScratchFiles& files, const OperationSnapshot& snapshot,
                         CountingObserver& observer, const std::vector<uint64_t>& windows) {
    const std::string replacement = files.replacement.string();
    return {
        .name = "Overwrite",
        .prepare = prepareOldData(files, OldData::Pattern),
        .sides = editSides(
            files, snapshot, observer,
            [&, replacement](const OperationSnapshot& taken) {
                if (auto written = overwriteFile(taken, replacement, observer); !written) {
                    throw std::runtime_error("Overwrite failed: " + written.error().message);
                }
            },
            {KESTREL_CLI, "overwrite", files.image.string(), std::string("/") + kRowName,
             replacement},
            replacement),
        .check = editCheck(files, snapshot, observer, windows, "Overwrite", OldData::Pattern,
                           kReplacementData),
    };
}

// Where the side named `name` is in the contest; nothing when it has none.
std::optional<size_t> sideIndex(const Contest& contest, const std::string& name) {
    const auto found = std::ranges::find(contest.sides, name, &Side::name);
    if (found == contest.sides.end()) {
        return std::nullopt;
    }
    return static_cast<size_t>(std::distance(contest.sides.begin(), found));
}

// The throughput of `side` against `reference`'s: the reference's median time over the
// side's.
double throughputRatio(const Contest& contest, const Timings& timings, const std::string& side,
                       const std::string& reference) {
    return median(timings[sideIndex(contest, reference).value()]) /
           median(timings[sideIndex(contest, side).value()]);
}

// An XFS file system with shared extents, made in a sparse file and loop-mounted, unmounted
// and removed however the benchmark ends.
class SharedExtentsMount {
public:
    explicit SharedExtentsMount(const fs::path& folder)
        : backing_(folder / "kestrel-bench-xfs.img"), mountPoint_(folder / "kestrel-bench-xfs") {}
    SharedExtentsMount(const SharedExtentsMount&) = delete;
    SharedExtentsMount& operator=(const SharedExtentsMount&) = delete;
    ~SharedExtentsMount() {
        if (mounted_) {
            std::system(("umount " + mountPoint_.string()).c_str());
        }
        std::error_code ignored;
        fs::remove(mountPoint_, ignored);
        fs::remove(backing_, ignored);
    }
    // Why it could not be mounted, or nothing once it is.
    std::optional<std::string> mount() {
        if (::geteuid() != 0) {
            return "mounting needs root";
        }
        if (std::system("command -v mkfs.xfs >/dev/null") != 0) {
            return "mkfs.xfs is missing (Debian's xfsprogs)";
        }
        std::ofstream(backing_, std::ios::binary).close();
        // The image's gigabyte, the replacement, and the journal's gigabyte once the image
        // is written, with room to spare.
        fs::resize_file(backing_, uint64_t{8} << 30);
        fs::create_directory(mountPoint_);
        if (std::system(("mkfs.xfs -q -m reflink=1 " + backing_.string()).c_str()) != 0 ||
            std::system(
                ("mount -o loop " + backing_.string() + " " + mountPoint_.string()).c_str()) != 0) {
            return "mkfs.xfs or mount -o loop failed on " + backing_.string();
        }
        mounted_ = true;
        return std::nullopt;
    }
    const fs::path& path() const { return mountPoint_; }

private:
    fs::path backing_;
    fs::path mountPoint_;
    bool mounted_ = false;
};

// The same edit with the journal and without it, through the core and through kestrel-cli.
Contest sharedExtentsContest(const std::string& name, const OperationSnapshot& snapshot,
                             CountingObserver& observer,
                             const std::function<void(const OperationSnapshot&)>& core,
                             std::vector<std::string> cli, std::function<void()> prepare,
                             std::function<void(const std::string&, bool)> check) {
    OperationSnapshot withoutUndo = snapshot;
    withoutUndo.keepUndo = false;
    std::vector<std::string> cliWithoutUndo = cli;
    cliWithoutUndo.insert(cliWithoutUndo.begin() + 2, "--no-undo");
    return {
        .name = name,
        .prepare = std::move(prepare),
        .sides = {{"ours",
                   [&, core] {
                       observer.reset();
                       core(snapshot);
                   }},
                  {"ours without undo",
                   [&, core, withoutUndo] {
                       observer.reset();
                       core(withoutUndo);
                   }},
                  {"kestrel-cli", [cli] { runTool(cli); }},
                  {"kestrel-cli --no-undo", [cliWithoutUndo] { runTool(cliWithoutUndo); }}},
        .check = std::move(check),
    };
}

void runSharedExtents(const fs::path& folder) {
    SharedExtentsMount mount(folder);
    if (const auto whyNot = mount.mount()) {
        std::printf("shared extents (XFS, reflink): skipped: %s\n", whyNot->c_str());
        return;
    }
    std::printf(
        "shared extents: XFS with reflink=1 in a sparse file, loop-mounted at %s; the "
        "image and the journal on it\n",
        mount.path().c_str());
    const ScratchFiles files(mount.path());
    makeImage(files);
    const OperationSnapshot snapshot = snapshotOfBigFile(files);
    CountingObserver observer;
    const std::vector<uint64_t> wholeChecksOnly;
    const std::string row = std::string("/") + kRowName;
    const std::string replacement = files.replacement.string();
    const Contest contests[] = {
        sharedExtentsContest(
            "Dummy-XFS", snapshot, observer,
            [&](const OperationSnapshot& taken) {
                requireCleanRun(blankFiles(taken, observer), "Dummy");
            },
            {KESTREL_CLI, "dummy", files.image.string(), row},
            prepareOldData(files, OldData::Pattern),
            editCheck(files, snapshot, observer, wholeChecksOnly, "Dummy-XFS", OldData::Pattern,
                      std::nullopt)),
        sharedExtentsContest(
            "Overwrite-XFS", snapshot, observer,
            [&, replacement](const OperationSnapshot& taken) {
                if (auto written = overwriteFile(taken, replacement, observer); !written) {
                    throw std::runtime_error("Overwrite failed: " + written.error().message);
                }
            },
            {KESTREL_CLI, "overwrite", files.image.string(), row, replacement},
            prepareOldData(files, OldData::Pattern),
            editCheck(files, snapshot, observer, wholeChecksOnly, "Overwrite-XFS", OldData::Pattern,
                      kReplacementData)),
    };
    for (const auto& contest : contests) {
        const Timings timings = runContest(contest, kTimedRounds);
        printTimings(contest, kFileBytes, timings);
        std::printf(
            "  %-13s with the journal against without it (time without / time with, target "
            ">= 0.80): ours %.2f, kestrel-cli %.2f\n\n",
            contest.name.c_str(), throughputRatio(contest, timings, "ours", "ours without undo"),
            throughputRatio(contest, timings, "kestrel-cli", "kestrel-cli --no-undo"));
        std::fflush(stdout);
    }
}

// For an edit: each side with the journal against the floor, and the edit without the journal
// against dd writing the same bytes.
void printEditRatios(const Contest& contest, const Timings& timings) {
    const char* name = contest.name.c_str();
    std::printf(
        "  %-10s with the journal against the floor (floor time / time, target >= 0.90):"
        " ours %.2f, kestrel-cli %.2f\n",
        name, throughputRatio(contest, timings, "ours", "floor"),
        throughputRatio(contest, timings, "kestrel-cli", "floor"));
    std::printf("  %-10s ours without undo/dd throughput %.2f\n", name,
                throughputRatio(contest, timings, "ours without undo", "dd"));
}

// Every contest on the scratch folder's own file system.
void runCopyingJournal(const fs::path& folder) {
    const ScratchFiles files(folder);
    makeImage(files);
    const OperationSnapshot snapshot = snapshotOfBigFile(files);
    const auto windows = sampleWindows(kFileBytes, kSampledWindows);
    CountingObserver observer;

    // The extractions first, while the image holds the data; Dummy then Overwrite rewrite it.
    const Contest contests[] = {
        extractContest(files, snapshot, observer, windows),
        toolContest(files, snapshot, observer, false),
        toolContest(files, snapshot, observer, true),
        blankContest(files, snapshot, observer, windows, OldData::Pattern),
        blankContest(files, snapshot, observer, windows, OldData::Zeros),
        overwriteContest(files, snapshot, observer, windows),
    };
    for (const auto& contest : contests) {
        const Timings timings = runContest(contest, kTimedRounds);
        printTimings(contest, kFileBytes, timings);
        if (sideIndex(contest, "floor")) {
            printEditRatios(contest, timings);
        }
        std::printf("  %-10s our observer, last run: %s\n\n", contest.name.c_str(),
                    observer.summary().c_str());
        std::fflush(stdout);
    }
}

void runBenchmark(const fs::path& folder, bool sharedExtentsOnly) {
    const auto start = std::chrono::steady_clock::now();
    std::printf(
        "Kestrel transfer benchmark: our core calls and kestrel-cli against dd, 7z and bsdtar on "
        "the same bytes\n");
    printMachine(folder);
    printMethod();
    if (!sharedExtentsOnly) {
        runCopyingJournal(folder);
    }
    runSharedExtents(folder);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::printf("all results checked; whole benchmark %.0f s\n", elapsed.count());
}

}  // namespace

int main(int argc, char** argv) {
    const bool sharedExtentsOnly = argc == 3 && argv[2] == std::string("--shared-extents-only");
    if ((argc != 2 && !sharedExtentsOnly) || !fs::is_directory(argv[1])) {
        std::fprintf(stderr,
                     "usage: kestrel-transfer-bench SCRATCH_FOLDER [--shared-extents-only] (an "
                     "existing folder)\n");
        return 2;
    }
    try {
        runBenchmark(fs::absolute(argv[1]), sharedExtentsOnly);
    } catch (const std::exception& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "kestrel-transfer-bench: FAILED: %s\n", failure.what());
        return 1;
    }
    return 0;
}
