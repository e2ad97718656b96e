// kestrel-raw-bench SCRATCH_FOLDER
//
// Times Dummy and Overwrite of a 512 MiB file in a raw Mode 1 image (2352-byte sectors, each
// written with its EDC and ECC computed again) against dd writing the same raw bytes over the
// same sectors in the same run. Needs about 3 GiB in SCRATCH_FOLDER and removes all of it at
// the end.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "PatternBytes.h"
#include "SideBySide.h"
#include "io/SectorCodes.h"
#include "isobuilder/IsoBuilder.h"
#include "isobuilder/RawEncoder.h"
#include "ops/Blanking.h"
#include "ops/Overwrite.h"
#include "ops/Session.h"

namespace {

namespace fs = std::filesystem;
using namespace kestrel;
using namespace kestrel::bench;

constexpr uint32_t kFileBytes = uint32_t{1} << 29;
constexpr uint32_t kFileLba = 32;
constexpr uint32_t kFileSectors = kFileBytes / isobuilder::kSectorSize;
constexpr uint64_t kRawOffset = uint64_t{kFileLba} * kRawSectorSize;
constexpr uint64_t kRawBytes = uint64_t{kFileSectors} * kRawSectorSize;
constexpr int kTimedRounds = 5;
constexpr size_t kCompareBlock = size_t{1} << 22;

class QuietObserver : public OperationObserver {
public:
    void beginFile(const std::string&) override {}
    void showPercent(int) override {}
    bool stopRequested() override { return false; }
};

// Everything the benchmark writes, removed however it ends.
struct ScratchFiles {
    explicit ScratchFiles(const fs::path& folder) : folder(folder / "kestrel-raw-bench") {
        fs::create_directories(this->folder);
        ::setenv("XDG_STATE_HOME", path("state").c_str(), 1);
    }
    ScratchFiles(const ScratchFiles&) = delete;
    ScratchFiles& operator=(const ScratchFiles&) = delete;
    ~ScratchFiles() {
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    std::string path(const std::string& name) const { return (folder / name).string(); }

    fs::path folder;
};

// The file's sectors as the raw image holds them when its data is `content` (zeros without).
void writeRawSectors(const std::string& path, const Expected& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint8_t> cooked(isobuilder::kSectorSize);
    std::vector<uint8_t> sector(kRawSectorSize);
    for (uint32_t i = 0; i < kFileSectors; ++i) {
        if (content) {
            content->fill(uint64_t{i} * cooked.size(), cooked);
        }
        isobuilder::encodeSector(std::span(sector).first<kRawSectorSize>(), kFileLba + i, cooked,
                                 {});
        out.write(reinterpret_cast<const char*>(sector.data()), kRawSectorSize);
    }
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

void ddInto(const std::string& image, const std::string& sectors) {
    runTool({"dd", "if=" + sectors, "of=" + image, "bs=1M", "oflag=seek_bytes",
             "seek=" + std::to_string(kRawOffset), "conv=notrunc,fsync", "status=none"});
}

// Throws unless the image's sectors of the file are byte for byte those in `sectors`.
void requireSectors(const std::string& who, const std::string& image, const std::string& sectors) {
    std::ifstream a(image, std::ios::binary);
    std::ifstream b(sectors, std::ios::binary);
    a.seekg(static_cast<std::streamoff>(kRawOffset));
    std::vector<char> x(kCompareBlock);
    std::vector<char> y(kCompareBlock);
    for (uint64_t done = 0; done < kRawBytes; done += kCompareBlock) {
        const auto count =
            static_cast<std::streamsize>(std::min<uint64_t>(kCompareBlock, kRawBytes - done));
        a.read(x.data(), count);
        b.read(y.data(), count);
        if (!a || !b || std::memcmp(x.data(), y.data(), static_cast<size_t>(count)) != 0) {
            throw std::runtime_error(who + " left other bytes than expected near byte " +
                                     std::to_string(kRawOffset + done));
        }
    }
}

Contest contest(const ScratchFiles& files, const std::string& name,
                const OperationSnapshot& snapshot, const std::string& expected,
                const std::function<void(const OperationSnapshot&)>& run) {
    const std::string image = files.path("bench.bin");
    OperationSnapshot withoutUndo = snapshot;
    withoutUndo.keepUndo = false;
    return {
        .name = name,
        .prepare =
            [&files, image] {
                fs::remove_all(files.path("state"));
                ddInto(image, files.path("old-sectors"));
            },
        .sides = {{"ours", [=] { run(snapshot); }},
                  {"ours without undo", [=] { run(withoutUndo); }},
                  {"dd", [=] { ddInto(image, expected); }}},
        .check = [=](const std::string& side,
                     bool) { requireSectors(name + " (" + side + ")", image, expected); },
    };
}

void runBenchmark(const fs::path& folder) {
    std::printf(
        "Kestrel raw-image benchmark: Dummy and Overwrite of %u bytes (%u sectors at LBA %u) in\n"
        "a raw Mode 1 image, every sector written with its EDC and ECC computed again, against\n"
        "dd writing the same %llu raw bytes over the same sectors; every side fsyncs the image,\n"
        "each run starts from the same old sectors and no journal; one warm-up round, then %d\n"
        "timed rounds taking turns, every result checked byte for byte.\n\n",
        kFileBytes, kFileSectors, kFileLba, static_cast<unsigned long long>(kRawBytes),
        kTimedRounds);
    const ScratchFiles files(folder);
    isobuilder::IsoBuilder builder(isobuilder::Layout::CdRomXa, "RAWBENCH");
    isobuilder::FileSpec big;
    big.identifier = "BIG.BIN;1";
    big.size = kFileBytes;
    big.lba = kFileLba;
    builder.addFile(isobuilder::IsoBuilder::kRoot, std::move(big));
    builder.setVolumeSectors(kFileLba + kFileSectors + 2);
    builder.writeTo(files.path("bench.iso"));
    writeStretch(files.path("bench.iso"), uint64_t{kFileLba} * isobuilder::kSectorSize, kFileBytes,
                 PatternBytes(1));
    isobuilder::writeRawImage(files.path("bench.iso"), files.path("bench.bin"),
                              files.path("bench.cue"), {});
    fs::remove(files.path("bench.iso"));
    writeRawSectors(files.path("old-sectors"), PatternBytes(1));
    writeRawSectors(files.path("blank-sectors"), std::nullopt);
    writeRawSectors(files.path("new-sectors"), PatternBytes(2));
    writeStretch(files.path("replacement"), 0, kFileBytes, PatternBytes(2), true);

    auto session = Session::open(files.path("bench.cue"));
    if (!session) {
        throw std::runtime_error(session.error().message);
    }
    const OperationSnapshot snapshot = session->snapshot(1, {"BIG.BIN"});
    QuietObserver observer;
    const std::string replacement = files.path("replacement");
    const Contest contests[] = {
        contest(files, "Dummy", snapshot, files.path("blank-sectors"),
                [&observer](const OperationSnapshot& taken) {
                    if (!blankFiles(taken, observer).failures.empty()) {
                        throw std::runtime_error("Dummy failed");
                    }
                }),
        contest(files, "Overwrite", snapshot, files.path("new-sectors"),
                [&observer, replacement](const OperationSnapshot& taken) {
                    if (auto written = overwriteFile(taken, replacement, observer); !written) {
                        throw std::runtime_error(written.error().message);
                    }
                }),
    };
    for (const auto& each : contests) {
        const Timings timings = runContest(each, kTimedRounds);
        printTimings(each, kFileBytes, timings);
        std::printf("  %-10s ours without undo/dd throughput %.2f\n\n", each.name.c_str(),
                    median(timings[2]) / median(timings[1]));
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !fs::is_directory(argv[1])) {
        std::fprintf(stderr, "usage: kestrel-raw-bench SCRATCH_FOLDER (an existing folder)\n");
        return 2;
    }
    try {
        runBenchmark(fs::absolute(argv[1]));
    } catch (const std::exception& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "kestrel-raw-bench: FAILED: %s\n", failure.what());
        return 1;
    }
    return 0;
}
