// Faults the writers meet on a real disk: an image that is read-only, that vanished or shrank
// after it was browsed, an extraction folder that is read-only or full, and a replacement
// file that cannot be read. Each is refused with a message naming the file and the reason,
// and a refused operation leaves every byte of the image as it was.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "image/DirectoryListing.h"
#include "image/DualLayer.h"
#include "image/Volume.h"
#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "ops/Overwrite.h"
#include "support/FileAccess.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::string>;

constexpr int kRoot = IsoBuilder::kRoot;
constexpr uint32_t kLayerZeroSectors = 330;
constexpr uint64_t kLayerOneStart = uint64_t{kLayerZeroSectors} * 2048 - 32768;

// MASTER.BIN, then TARGET.BIN, the file every writer is pointed at, then SMALL.BIN, from the
// base LBA of the volume: 30 on a CD, 270 in layer 1 of a dual-layer DVD.
constexpr uint32_t kCdBase = 30;
constexpr uint32_t kLayerOneBase = 270;
constexpr uint32_t kTargetFromBase = 10;
constexpr uint32_t kMasterSize = 3000;
constexpr uint32_t kTargetSize = 5000;
constexpr uint32_t kSmallSize = 100;

IsoBuilder volume(Layout layout, const std::string& label, uint32_t base) {
    IsoBuilder builder(layout, label);
    builder.addFile(kRoot, fileAt("MASTER.BIN;1", base, kMasterSize, pattern(kMasterSize, 1)));
    builder.addFile(kRoot, fileAt("TARGET.BIN;1", base + kTargetFromBase, kTargetSize,
                                  pattern(kTargetSize, 2)));
    builder.addFile(kRoot, fileAt("SMALL.BIN;1", base + 15, kSmallSize, pattern(kSmallSize, 3)));
    return builder;
}

class Recorder : public OperationObserver {
public:
    void beginFile(const std::string& rowName) override { begun.push_back(rowName); }
    void showPercent(int) override {}
    bool stopRequested() override { return false; }

    Rows begun;
};

// What a run reported about the one file it was given; nothing when it succeeded.
std::optional<Error> failureOf(const OperationReport& report, const std::string& row) {
    EXPECT_LE(report.failures.size(), 1u);
    if (report.failures.empty()) {
        return std::nullopt;
    }
    EXPECT_EQ(report.failures[0].rowName, row);
    return report.failures[0].error;
}

std::optional<Error> failureOf(const Result<void>& result) {
    return result ? std::nullopt : std::optional(result.error());
}

void expectRefusal(const std::optional<Error>& error, const std::string& file,
                   const std::string& reason) {
    ASSERT_TRUE(error) << "nothing was refused";
    ::testing::Test::RecordProperty("refusal", error->message);
    EXPECT_NE(error->message.find(file), std::string::npos)
        << "the message does not name " << file << ": " << error->message;
    EXPECT_NE(error->message.find(reason), std::string::npos)
        << "the message does not give the reason \"" << reason << "\": " << error->message;
}

enum class Writer { Extract, Dummy, Overwrite, Relink, ModifyToc };

std::string nameOf(Writer writer) {
    constexpr const char* kNames[] = {"Extract", "Dummy", "Overwrite", "Relink", "ModifyToc"};
    return kNames[static_cast<int>(writer)];
}

bool writesData(Writer writer) {
    return writer == Writer::Extract || writer == Writer::Dummy || writer == Writer::Overwrite;
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        state.layerCopyPath = dir.file("layer1.tmp");
        fs::create_directory(out);
    }

    void openSingleLayer() {
        volume(Layout::CdRomXa, "FAULTS", kCdBase).writeTo(image);
        state.chooseImage(image);
        ASSERT_TRUE(openVolume(state));
        ASSERT_TRUE(listDirectory(state, kRoot));
    }

    // A dual-layer image whose layer 1 is presented from the layer-1 copy.
    void openLayerOne() {
        IsoBuilder layer0(Layout::Dvd, "LAYER_ZERO");
        // The first record of layer 0's root sets how much of layer 1 is copied.
        layer0.addFile(kRoot, fileAt("ZERO.BIN;1", 300, 3000, pattern(3000, 9)));
        layer0.setVolumeSectors(kLayerZeroSectors);
        writeDualLayer(image, layer0, volume(Layout::Dvd, "LAYER_ONE", kLayerOneBase));
        state.chooseImage(image);
        ASSERT_TRUE(openVolume(state));
        ASSERT_TRUE(listDirectory(state, kRoot));
        ASSERT_EQ(checkDualLayer(state).verdict, DualLayerCheck::Verdict::DualLayer);
        switchLayers(state);
        ASSERT_TRUE(openVolume(state));
        ASSERT_TRUE(listDirectory(state, kRoot));
    }

    // Where TARGET.BIN's record lies in the image: in layer 1 when it is presented.
    uint64_t targetRecordInImage() {
        auto found = findDirectoryRecord(state, kRoot, "TARGET.BIN");
        EXPECT_TRUE(found);
        const uint64_t offset = found ? found->recordOffset : 0;
        return state.presentsLayerOne() ? kLayerOneStart + offset : offset;
    }

    uint64_t targetDataInImage() const {
        const uint32_t base = state.presentsLayerOne() ? kLayerOneBase : kCdBase;
        return static_cast<uint64_t>(state.layerDataOffset(base + kTargetFromBase));
    }

    // Starts `writer` on TARGET.BIN as the window does: what is read when the user acts (the
    // snapshot, the master file, the record shown in the Modify TOC dialog) is read now; the
    // returned call does the writing and returns its refusal.
    std::function<std::optional<Error>()> start(Writer writer) {
        const Rows target = {"TARGET.BIN"};
        switch (writer) {
            case Writer::Extract:
                return [this, taken = takeSnapshot(state, kRoot, target)] {
                    return failureOf(extractFiles(taken, out, recorder), "TARGET.BIN");
                };
            case Writer::Dummy:
                return [this, taken = takeSnapshot(state, kRoot, target)] {
                    return failureOf(blankFiles(taken, recorder), "TARGET.BIN");
                };
            case Writer::Overwrite:
                writeFileBytes(replacement, pattern(kTargetSize, 7));
                return [this, taken = takeSnapshot(state, kRoot, target)] {
                    return failureOf(overwriteFile(taken, replacement, recorder));
                };
            case Writer::Relink:
                EXPECT_TRUE(chooseMasterFile(state, kRoot, "MASTER.BIN"));
                return [this, target] {
                    const auto run = relinkFiles(state, kRoot, target, true);
                    EXPECT_TRUE(run.patched.empty());
                    return run.failure ? std::optional(run.failure->error) : std::nullopt;
                };
            case Writer::ModifyToc: {
                const auto shown = readTocRecord(state, kRoot, "TARGET.BIN");
                EXPECT_TRUE(shown);
                state.tocLba = 7;
                state.tocSize = 9;
                return [this, location = shown ? *shown : RecordLocation{}] {
                    return failureOf(writeTocRecord(state, location));
                };
            }
        }
        return {};
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    std::string out = dir.file("out");
    std::string replacement = dir.file("replacement.bin");
    EditorState state;
    Recorder recorder;
    // Permissions bind the tests even when they run as root.
    WithoutAccessOverride access;
};

TEST(WithoutAccessOverride, KeepsRootAndItsNewThreadsFromWritingAReadOnlyFileWhileItLives) {
    TempDir dir;
    const auto file = dir.file("read-only");
    writeFileBytes(file, {1});
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    const auto openForWriting = [&file] {
        const int descriptor = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
        const int error = descriptor < 0 ? errno : 0;
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return error;
    };
    {
        WithoutAccessOverride access;
        if (!access.holds()) {
            GTEST_SKIP() << access.failure();
        }
        EXPECT_EQ(openForWriting(), EACCES);
        int inThread = 0;
        std::thread([&] { inThread = openForWriting(); }).join();
        EXPECT_EQ(inThread, EACCES) << "a thread started meanwhile has the override";
    }
    if (::geteuid() == 0) {
        EXPECT_EQ(openForWriting(), 0) << "the override was not given back";
    }
}

// Each writer against an image that is read-only, that was deleted, or that shrank, after it
// was browsed and before the writer ran.
enum class Fault { ReadOnly, Vanished, Shrunk };

struct WriterFault {
    Writer writer;
    Fault fault;
};

class WriterFaultTest : public FaultTest, public ::testing::WithParamInterface<WriterFault> {};

TEST_P(WriterFaultTest, IsRefusedNamingTheImageAndTheReasonAndLeavesItsBytes) {
    const auto [writer, fault] = GetParam();
    if (fault == Fault::ReadOnly && !access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    openSingleLayer();
    const auto run = start(writer);
    std::string reason;
    switch (fault) {
        case Fault::ReadOnly:
            ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
            reason = "Permission denied";
            break;
        case Fault::Vanished:
            ASSERT_TRUE(fs::remove(image));
            reason = "No such file or directory";
            break;
        case Fault::Shrunk:
            // The image now ends inside what the writer needs: the file's data, or its record.
            if (writesData(writer)) {
                truncateFile(image, targetDataInImage() + kTargetSize / 2);
                reason = "runs past the end";
            } else {
                truncateFile(image, targetRecordInImage() + 10);
                reason = writer == Writer::Relink ? "is no longer in its directory"
                                                  : "no longer holds TARGET.BIN;1";
            }
            break;
    }
    const auto before = fault == Fault::Vanished ? Bytes{} : readFileBytes(image);

    expectRefusal(run(), image, reason);
    if (fault == Fault::Vanished) {
        EXPECT_FALSE(fs::exists(image)) << "the vanished image was made again";
    } else {
        EXPECT_EQ(readFileBytes(image), before);
    }
    EXPECT_TRUE(recorder.begun.empty());
    EXPECT_TRUE(fs::is_empty(out));
}

std::vector<WriterFault> writerFaults() {
    std::vector<WriterFault> cases;
    for (const auto writer :
         {Writer::Extract, Writer::Dummy, Writer::Overwrite, Writer::Relink, Writer::ModifyToc}) {
        for (const auto fault : {Fault::ReadOnly, Fault::Vanished, Fault::Shrunk}) {
            // Extraction only reads the image, so a read-only one is no fault for it.
            if (writer != Writer::Extract || fault != Fault::ReadOnly) {
                cases.push_back({writer, fault});
            }
        }
    }
    return cases;
}

std::string writerFaultName(const ::testing::TestParamInfo<WriterFault>& info) {
    constexpr const char* kFaults[] = {"ReadOnlyImage", "VanishedImage", "ShrunkImage"};
    return nameOf(info.param.writer) + "_" + kFaults[static_cast<int>(info.param.fault)];
}

INSTANTIATE_TEST_SUITE_P(Writers, WriterFaultTest, ::testing::ValuesIn(writerFaults()),
                         writerFaultName);

// A record edit on layer 1 writes the image and then the layer-1 copy; a fault in either
// file must leave both as they were.
enum class LayerFault { ReadOnlyImage, ReadOnlyCopy, VanishedImage, ShrunkImage };

struct RecordEditFault {
    Writer writer;
    LayerFault fault;
};

class LayerOneFaultTest : public FaultTest,
                          public ::testing::WithParamInterface<RecordEditFault> {};

TEST_P(LayerOneFaultTest, WritesNeitherTheImageNorTheCopy) {
    const auto [writer, fault] = GetParam();
    if ((fault == LayerFault::ReadOnlyImage || fault == LayerFault::ReadOnlyCopy) &&
        !access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    openLayerOne();
    const auto copy = state.layerCopyPath;
    const auto run = start(writer);
    std::string named = image;
    std::string reason;
    switch (fault) {
        case LayerFault::ReadOnlyImage:
            ASSERT_EQ(::chmod(image.c_str(), 0444), 0);
            reason = "Permission denied";
            break;
        case LayerFault::ReadOnlyCopy:
            ASSERT_EQ(::chmod(copy.c_str(), 0400), 0);
            named = copy;
            reason = "Permission denied";
            break;
        case LayerFault::VanishedImage:
            ASSERT_TRUE(fs::remove(image));
            reason = "No such file or directory";
            break;
        case LayerFault::ShrunkImage:
            truncateFile(image, targetRecordInImage() + 10);
            reason = "no longer holds TARGET.BIN;1";
            break;
    }
    const auto imageBefore = fault == LayerFault::VanishedImage ? Bytes{} : readFileBytes(image);
    const auto copyBefore = readFileBytes(copy);

    expectRefusal(run(), named, reason);
    if (fault == LayerFault::VanishedImage) {
        EXPECT_FALSE(fs::exists(image)) << "the vanished image was made again";
    } else {
        EXPECT_EQ(readFileBytes(image), imageBefore);
    }
    EXPECT_EQ(readFileBytes(copy), copyBefore);
}

std::string recordEditFaultName(const ::testing::TestParamInfo<RecordEditFault>& info) {
    constexpr const char* kFaults[] = {"ReadOnlyImage", "ReadOnlyCopy", "VanishedImage",
                                       "ShrunkImage"};
    return nameOf(info.param.writer) + "_" + kFaults[static_cast<int>(info.param.fault)];
}

INSTANTIATE_TEST_SUITE_P(
    RecordEdits, LayerOneFaultTest,
    ::testing::Values(RecordEditFault{Writer::Relink, LayerFault::ReadOnlyImage},
                      RecordEditFault{Writer::Relink, LayerFault::ReadOnlyCopy},
                      RecordEditFault{Writer::Relink, LayerFault::VanishedImage},
                      RecordEditFault{Writer::Relink, LayerFault::ShrunkImage},
                      RecordEditFault{Writer::ModifyToc, LayerFault::ReadOnlyImage},
                      RecordEditFault{Writer::ModifyToc, LayerFault::ReadOnlyCopy},
                      RecordEditFault{Writer::ModifyToc, LayerFault::VanishedImage},
                      RecordEditFault{Writer::ModifyToc, LayerFault::ShrunkImage}),
    recordEditFaultName);

// While it lives, no file may grow past `bytes`: a write that would fails with EFBIG, as on
// a full disk, instead of raising SIGXFSZ. The limit and the signal's disposition come back
// as they were.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ignoring_ = ::sigaction(SIGXFSZ, &ignore, &savedAction_) == 0;
        if (::getrlimit(RLIMIT_FSIZE, &savedLimit_) == 0) {
            rlimit limit = savedLimit_;
            limit.rlim_cur = bytes;
            limited_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
        }
    }
    ~FileSizeLimit() {
        if (limited_) {
            ::setrlimit(RLIMIT_FSIZE, &savedLimit_);
        }
        if (ignoring_) {
            ::sigaction(SIGXFSZ, &savedAction_, nullptr);
        }
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool holds() const { return ignoring_ && limited_; }

private:
    struct sigaction savedAction_ {};
    rlimit savedLimit_{};
    bool ignoring_ = false;
    bool limited_ = false;
};

TEST_F(FaultTest, AFullFolderLosesOnlyTheFileThatDidNotFitAndItsPartIsRemoved) {
    openSingleLayer();
    const auto before = readFileBytes(image);
    const auto taken = takeSnapshot(state, kRoot, {"MASTER.BIN", "TARGET.BIN", "SMALL.BIN"});
    OperationReport report;
    {
        // TARGET.BIN fills the folder part-way through; the files around it fit.
        FileSizeLimit full(4096);
        ASSERT_TRUE(full.holds());
        report = extractFiles(taken, out, recorder);
    }
    EXPECT_EQ(recorder.begun, (Rows{"MASTER.BIN", "TARGET.BIN", "SMALL.BIN"}));
    expectRefusal(failureOf(report, "TARGET.BIN"), out + "/TARGET.BIN", "File too large");
    EXPECT_FALSE(fs::exists(out + "/TARGET.BIN")) << "the part written was left behind";
    EXPECT_EQ(readFileBytes(out + "/MASTER.BIN"), pattern(kMasterSize, 1));
    EXPECT_EQ(readFileBytes(out + "/SMALL.BIN"), pattern(kSmallSize, 3));
    EXPECT_EQ(readFileBytes(image), before);

    // In a read-only folder an earlier TARGET.BIN can be refilled but not removed: the
    // message must say that what was written of it stays.
    if (!access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    writeFileBytes(out + "/TARGET.BIN", {'o', 'l', 'd'});
    ASSERT_EQ(::chmod(out.c_str(), 0555), 0);
    {
        FileSizeLimit full(4096);
        report = extractFiles(takeSnapshot(state, kRoot, {"TARGET.BIN"}), out, recorder);
    }
    ::chmod(out.c_str(), 0755);
    expectRefusal(failureOf(report, "TARGET.BIN"), out + "/TARGET.BIN", "could not be removed");
}

TEST_F(FaultTest, AReadOnlyFolderIsReportedForEachFileAndGetsNothing) {
    if (!access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    openSingleLayer();
    const auto before = readFileBytes(image);
    ASSERT_EQ(::chmod(out.c_str(), 0555), 0);
    const auto report =
        extractFiles(takeSnapshot(state, kRoot, {"MASTER.BIN", "SMALL.BIN"}), out, recorder);
    ASSERT_EQ(report.failures.size(), 2u);
    for (const auto& failure : report.failures) {
        expectRefusal(failure.error, out + "/" + failure.rowName, "Permission denied");
    }
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_EQ(readFileBytes(image), before);
    ::chmod(out.c_str(), 0755);
}

// A replacement for Overwrite that is no readable file: nothing of the image may change,
// and the run must not wait for a writer that never comes.
enum class Unreadable { NoReadPermission, Directory, Fifo, Vanished };

class UnreadableReplacementTest : public FaultTest,
                                  public ::testing::WithParamInterface<Unreadable> {};

TEST_P(UnreadableReplacementTest, IsRefusedNamingItAndTheReasonAndWritesNothing) {
    if (GetParam() == Unreadable::NoReadPermission && !access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    openSingleLayer();
    const auto run = start(Writer::Overwrite);  // the replacement is chosen
    std::string reason;
    switch (GetParam()) {
        case Unreadable::NoReadPermission:
            ASSERT_EQ(::chmod(replacement.c_str(), 0200), 0);
            reason = "Permission denied";
            break;
        case Unreadable::Directory:
            fs::remove(replacement);
            fs::create_directory(replacement);
            reason = "not a regular file";
            break;
        case Unreadable::Fifo:
            fs::remove(replacement);
            ASSERT_EQ(::mkfifo(replacement.c_str(), 0600), 0);
            reason = "not a regular file";
            break;
        case Unreadable::Vanished:
            fs::remove(replacement);
            reason = "No such file or directory";
            break;
    }
    const auto before = readFileBytes(image);

    auto running = std::async(std::launch::async, run);
    if (running.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
        ADD_FAILURE() << "Overwrite is still waiting on " << replacement;
        // A writer lets a blocked open of the pipe return.
        const int writer = ::open(replacement.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        running.wait();
        ::close(writer);
    }
    expectRefusal(running.get(), replacement, reason);
    EXPECT_EQ(readFileBytes(image), before);
    EXPECT_TRUE(recorder.begun.empty());
}

std::string unreadableName(const ::testing::TestParamInfo<Unreadable>& info) {
    constexpr const char* kNames[] = {"NoReadPermission", "Directory", "Fifo", "Vanished"};
    return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Replacements, UnreadableReplacementTest,
                         ::testing::Values(Unreadable::NoReadPermission, Unreadable::Directory,
                                           Unreadable::Fifo, Unreadable::Vanished),
                         unreadableName);

}  // namespace
}  // namespace kestrel
