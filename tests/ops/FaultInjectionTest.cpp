// Faults the writers meet on a real disk: an image that is read-only, that vanished or shrank
// after it was browsed, a layer-1 copy that is read-only or changed, an extraction folder that
// is read-only or full, and a replacement file that cannot be read. Each is refused with a
// message naming the file and the reason, and a refused operation leaves every byte of the
// image (and of the copy) as it was.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>

#include <gtest/gtest.h>

#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/MasterFile.h"
#include "ops/Overwrite.h"
#include "ops/SessionFixtures.h"
#include "support/FileAccess.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

constexpr int kRoot = IsoBuilder::kRoot;
constexpr uint32_t kLayerZeroSectors = 330;

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

// What a run reported about the one file it was given; nothing when it succeeded.
std::optional<Error> failureOf(const OperationReport& report) {
    EXPECT_LE(report.failures.size(), 1u);
    return report.failures.empty() ? std::nullopt : std::optional(report.failures[0].error);
}

template <class T>
std::optional<Error> failureOf(const Result<T>& result) {
    return result ? std::nullopt : std::optional(result.error());
}

void expectRefusal(const std::optional<Error>& error, const std::string& file,
                   const std::string& reason) {
    ASSERT_TRUE(error) << "nothing was refused";
    EXPECT_NE(error->message.find(file), std::string::npos)
        << "the message does not name " << file << ": " << error->message;
    EXPECT_NE(error->message.find(reason), std::string::npos)
        << "the message does not give the reason \"" << reason << "\": " << error->message;
}

enum class Writer { Extract, Dummy, Overwrite, Relink, ModifyToc };
constexpr const char* kWriterNames[] = {"Extract", "Dummy", "Overwrite", "Relink", "ModifyToc"};

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directory(out); }

    void openSingleLayer() {
        volume(Layout::CdRomXa, "FAULTS", kCdBase).writeTo(image);
        session = openSession(image, copy);
    }

    // A dual-layer image whose layer 1 is presented from the layer-1 copy.
    void openLayerOne() {
        IsoBuilder layer0(Layout::Dvd, "LAYER_ZERO");
        // The first record of layer 0's root sets how much of layer 1 is copied.
        layer0.addFile(kRoot, fileAt("ZERO.BIN;1", 300, 3000, pattern(3000, 9)));
        layer0.setVolumeSectors(kLayerZeroSectors);
        writeDualLayer(image, layer0, volume(Layout::Dvd, "LAYER_ONE", kLayerOneBase));
        session = openSession(image, copy);
        ASSERT_EQ(session->checkDualLayer().verdict, DualLayerCheck::Verdict::DualLayer);
        ASSERT_TRUE(session->switchLayers());
    }

    // Where TARGET.BIN's record and its data lie in the image: in layer 1 when it is presented.
    uint64_t targetRecordInImage() {
        auto found = session->findRecord(kRoot, "TARGET.BIN");
        EXPECT_TRUE(found);
        return (found ? found->recordOffset : 0) + session->layerOffset();
    }
    uint64_t targetDataInImage() const {
        const uint32_t base = session->presentsLayerOne() ? kLayerOneBase : kCdBase;
        return uint64_t{base + kTargetFromBase} * 2048 + session->layerOffset();
    }

    // Starts `writer` on TARGET.BIN as the window does: what is read when the user acts (the
    // snapshot, the master file, the record shown for Modify TOC) is read now; the returned
    // call does the writing and returns its refusal.
    std::function<std::optional<Error>()> start(Writer writer) {
        const Rows target = {"TARGET.BIN"};
        const auto taken = session->snapshot(kRoot, target);
        switch (writer) {
            case Writer::Extract:
                return [=, this] { return failureOf(extractFiles(taken, out, recorder)); };
            case Writer::Dummy:
                return [=, this] { return failureOf(blankFiles(taken, recorder)); };
            case Writer::Overwrite:
                writeFileBytes(replacement, pattern(kTargetSize, 7));
                return [=, this] { return failureOf(overwriteFile(taken, replacement, recorder)); };
            case Writer::Relink: {
                const auto master = chooseMasterFile(*session, kRoot, "MASTER.BIN");
                EXPECT_TRUE(master);
                // The first failure ends the run: SMALL.BIN is not touched either.
                return [=, this] {
                    const auto run =
                        relinkFiles(*session, kRoot, {"TARGET.BIN", "SMALL.BIN"}, *master, true);
                    EXPECT_EQ(run.failure ? run.failure->rowName : "", "TARGET.BIN");
                    EXPECT_TRUE(run.patched.empty());
                    return run.failure ? std::optional(run.failure->error) : std::nullopt;
                };
            }
            case Writer::ModifyToc: {
                const auto shown = session->findRecord(kRoot, "TARGET.BIN");
                EXPECT_TRUE(shown);
                return [=, this] { return failureOf(session->patchRecord(kRoot, *shown, {7, 9})); };
            }
        }
        return {};
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    std::string copy = dir.file("layer1.tmp");
    std::string out = dir.file("out");
    std::string replacement = dir.file("replacement.bin");
    std::optional<Session> session;
    Recorder recorder;
    // Permissions bind the tests even when they run as root.
    WithoutAccessOverride access;
};

// Each writer against a fault that arises after the user acted and before it ran: an image
// that is read-only, deleted or shrunk, a layer-1 copy that is read-only or changed, or a
// replacement that is no readable file. A record edit on layer 1 writes the image and then
// the copy: a fault in either must leave both as they were.
struct WriterFault {
    Writer writer;
    std::string fault;  // what it does to which file: image, copy or replacement
    bool layerOne = false;
};

class WriterFaultTest : public FaultTest, public ::testing::WithParamInterface<WriterFault> {
protected:
    // Brings the fault about and says which file the refusal must name, and why.
    void inflict(Writer writer, const std::string& fault, bool layerOne) {
        named = fault.ends_with("Copy")          ? copy
                : fault.ends_with("Replacement") ? replacement
                                                 : image;
        reason = fault.starts_with("Vanished") ? "No such file or directory" : "Permission denied";
        if (fault.starts_with("ReadOnly") || fault.starts_with("Unreadable")) {
            ASSERT_EQ(::chmod(named.c_str(), fault.starts_with("ReadOnly") ? 0400 : 0200), 0);
        } else if (fault.starts_with("Vanished")) {
            ASSERT_TRUE(fs::remove(named));
        } else if (fault == "FolderReplacement" || fault == "PipeReplacement") {
            fs::remove(replacement);
            ASSERT_TRUE(fault == "FolderReplacement" ? fs::create_directory(replacement)
                                                     : ::mkfifo(replacement.c_str(), 0600) == 0);
            reason = "not a regular file";
        } else if (fault == "ShrunkImage" && writer <= Writer::Overwrite) {
            // The image now ends inside what the writer needs: the file's data, or its record.
            truncateFile(image, targetDataInImage() + kTargetSize / 2);
            reason = "runs past the end";
        } else if (fault == "ShrunkImage") {
            truncateFile(image, targetRecordInImage() + 10);
            reason = writer == Writer::Relink && !layerOne ? "is no longer in its directory"
                                                           : "no longer holds TARGET.BIN;1";
        } else if (fault == "ChangedCopy") {
            // Relink finds the record again, as it now is, and then misses it in the image.
            overwriteBytes(copy, targetRecordInImage() - session->layerOffset() + 10, {99});
            named = writer == Writer::ModifyToc ? copy : image;
            reason = "no longer holds TARGET.BIN;1";
        }
    }

    std::string named;
    std::string reason;
};

TEST_P(WriterFaultTest, IsRefusedNamingTheFileAndTheReasonAndLeavesEveryByte) {
    const auto& [writer, fault, layerOne] = GetParam();
    if ((fault.starts_with("ReadOnly") || fault.starts_with("Unreadable")) && !access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    layerOne ? openLayerOne() : openSingleLayer();
    const auto run = start(writer);
    ASSERT_NO_FATAL_FAILURE(inflict(writer, fault, layerOne));
    const bool vanished = fault == "VanishedImage";
    const auto imageBefore = vanished ? Bytes{} : readFileBytes(image);
    const auto copyBefore = layerOne ? readFileBytes(copy) : Bytes{};

    // The run must not wait for a writer of a pipe that never comes.
    auto running = std::async(std::launch::async, run);
    if (running.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
        ADD_FAILURE() << "the run is still waiting on " << replacement;
        const int writer = ::open(replacement.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        running.wait();
        ::close(writer);
    }
    expectRefusal(running.get(), named, reason);
    EXPECT_TRUE(vanished ? !fs::exists(image) : readFileBytes(image) == imageBefore)
        << "the image was written, or the vanished image made again";
    if (layerOne) {
        EXPECT_EQ(readFileBytes(copy), copyBefore);
    }
    EXPECT_TRUE(recorder.begun.empty());
    EXPECT_TRUE(fs::is_empty(out));
}

std::vector<WriterFault> writerFaults() {
    std::vector<WriterFault> cases;
    for (const auto writer :
         {Writer::Extract, Writer::Dummy, Writer::Overwrite, Writer::Relink, Writer::ModifyToc}) {
        // Extraction only reads the image, so a read-only one is no fault for it.
        for (const auto* fault : {"ReadOnlyImage", "VanishedImage", "ShrunkImage"}) {
            if (writer != Writer::Extract || fault != std::string("ReadOnlyImage")) {
                cases.push_back({writer, fault});
            }
        }
        if (writer == Writer::Relink || writer == Writer::ModifyToc) {
            for (const auto* fault :
                 {"ReadOnlyImage", "VanishedImage", "ShrunkImage", "ReadOnlyCopy", "ChangedCopy"}) {
                cases.push_back({writer, fault, true});
            }
        }
    }
    for (const auto* fault :
         {"UnreadableReplacement", "FolderReplacement", "PipeReplacement", "VanishedReplacement"}) {
        cases.push_back({Writer::Overwrite, fault});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Writers, WriterFaultTest, ::testing::ValuesIn(writerFaults()),
                         [](const ::testing::TestParamInfo<WriterFault>& info) {
                             return std::string(kWriterNames[int(info.param.writer)]) + "_" +
                                    info.param.fault + (info.param.layerOne ? "_LayerOne" : "");
                         });

// While it lives, no file may grow past `bytes`: a write that would fails with EFBIG, as on
// a full disk, instead of raising SIGXFSZ. The limit and the signal's handling come back.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : savedHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
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
        std::signal(SIGXFSZ, savedHandler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool holds() const { return savedHandler_ != SIG_ERR && limited_; }

private:
    void (*savedHandler_)(int);
    rlimit savedLimit_{};
    bool limited_ = false;
};

TEST_F(FaultTest, AFullFolderLosesOnlyTheFileThatDidNotFitAndItsPartIsRemoved) {
    openSingleLayer();
    const auto before = readFileBytes(image);
    const auto taken = session->snapshot(kRoot, {"MASTER.BIN", "TARGET.BIN", "SMALL.BIN"});
    OperationReport report;
    {
        // TARGET.BIN fills the folder before it is done; the files around it fit.
        FileSizeLimit full(4096);
        ASSERT_TRUE(full.holds());
        report = extractFiles(taken, out, recorder);
    }
    EXPECT_EQ(recorder.begun, (Rows{"MASTER.BIN", "TARGET.BIN", "SMALL.BIN"}));
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].rowName, "TARGET.BIN");
    expectRefusal(report.failures[0].error, out + "/TARGET.BIN", "File too large");
    EXPECT_FALSE(fs::exists(out + "/TARGET.BIN")) << "what was written of it was left behind";
    EXPECT_EQ(readFileBytes(out + "/MASTER.BIN"), pattern(kMasterSize, 1));
    EXPECT_EQ(readFileBytes(out + "/SMALL.BIN"), pattern(kSmallSize, 3));
    EXPECT_EQ(readFileBytes(image), before);

    // In a read-only folder no file can be made, and an earlier TARGET.BIN can be refilled
    // but not removed: the message must say that what was written of it stays.
    if (!access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    fs::remove(out + "/MASTER.BIN");
    fs::remove(out + "/SMALL.BIN");
    writeFileBytes(out + "/TARGET.BIN", {'o', 'l', 'd'});
    ASSERT_EQ(::chmod(out.c_str(), 0555), 0);
    {
        FileSizeLimit full(4096);
        report =
            extractFiles(session->snapshot(kRoot, {"MASTER.BIN", "TARGET.BIN"}), out, recorder);
    }
    ::chmod(out.c_str(), 0755);
    ASSERT_EQ(report.failures.size(), 2u);
    expectRefusal(report.failures[0].error, out + "/MASTER.BIN", "Permission denied");
    expectRefusal(report.failures[1].error, out + "/TARGET.BIN", "could not be removed");
    EXPECT_FALSE(fs::exists(out + "/MASTER.BIN"));
    EXPECT_EQ(readFileBytes(image), before);
}

}  // namespace
}  // namespace kestrel
