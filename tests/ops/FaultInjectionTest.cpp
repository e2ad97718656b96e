// Faults the writers meet on a real disk after the user acted and before the run: a read-only,
// vanished or shrunk image, a read-only or changed layer-1 copy, a full or read-only folder, a
// replacement that cannot be read. Each is refused with a message naming the file and the
// reason, and a refused operation leaves every byte of the image (and of the copy) as it was.
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
#include "ops/ModifyToc.h"
#include "ops/Overwrite.h"
#include "ops/SessionFixtures.h"
#include "support/FileAccess.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

constexpr int kRoot = IsoBuilder::kRoot;

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

// Every writer is pointed at BIG.BIN; Relink takes K.BIN for its master.
class FaultTest : public SessionTest {
protected:
    // Starts `writer` on BIG.BIN as the window does: what is read when the user acts (the
    // snapshot, the master file, the record shown for Modify TOC) is read now; the returned
    // call does the writing and returns its refusal.
    std::function<std::optional<Error>()> start(Writer writer) {
        const auto taken = snapshot({"BIG.BIN"});
        switch (writer) {
            case Writer::Extract:
                return [=, this] { return failureOf(extractFiles(taken, out, recorder)); };
            case Writer::Dummy:
                return [=, this] { return failureOf(blankFiles(taken, recorder)); };
            case Writer::Overwrite:
                writeFileBytes(replacement, pattern(5000, 7));
                return [=, this] { return failureOf(overwriteFile(taken, replacement, recorder)); };
            case Writer::Relink: {
                const auto master = chooseMasterFile(*session, kRoot, "K.BIN");
                EXPECT_TRUE(master);
                // The first failure ends the run: T.BIN is not touched either.
                return [=, this] {
                    const auto run =
                        relinkFiles(*session, kRoot, {"BIG.BIN", "T.BIN"}, *master, true);
                    EXPECT_EQ(run.failure ? run.failure->rowName : "", "BIG.BIN");
                    EXPECT_TRUE(run.patched.empty());
                    return run.failure ? std::optional(run.failure->error) : std::nullopt;
                };
            }
            case Writer::ModifyToc: {
                const auto shown = session->findRecord(kRoot, "BIG.BIN");
                EXPECT_TRUE(shown);
                return [=, this] { return failureOf(modifyToc(*session, kRoot, *shown, {7, 9})); };
            }
        }
        return {};
    }

    std::string replacement = dir.file("replacement.bin");
    // Permissions bind the tests even when they run as root.
    WithoutAccessOverride access;
};

// A record edit on layer 1 writes the image and then the copy: a fault in either must leave
// both as they were.
struct WriterFault {
    Writer writer;
    std::string fault;  // what it does to which file: image, copy or replacement
    bool layerOne = false;
};

class WriterFaultTest : public FaultTest, public ::testing::WithParamInterface<WriterFault> {
protected:
    // Brings the fault about and says which file the refusal must name, and why.
    void inflict(Writer writer, const std::string& fault) {
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
            fs::resize_file(image, dataInImage(0) + 2500);
            reason = "runs past the end";
        } else if (fault == "ShrunkImage") {
            fs::resize_file(image, recordInImage("BIG.BIN") + 8);
            reason = writer == Writer::Relink && !layerOne ? "is no longer in its directory"
                                                           : "no longer holds BIG.BIN;1";
        } else if (fault == "ChangedCopy") {
            // Relink finds the record again, as it now is, and then misses it in the image.
            overwriteBytes(copy, recordFieldsAt("BIG.BIN") + 8, {99});
            named = writer == Writer::ModifyToc ? copy : image;
            reason = "no longer holds BIG.BIN;1";
        }
    }

    std::string named;
    std::string reason;
};

TEST_P(WriterFaultTest, IsRefusedNamingTheFileAndTheReasonAndLeavesEveryByte) {
    const auto& [writer, fault, onLayerOne] = GetParam();
    if ((fault.starts_with("ReadOnly") || fault.starts_with("Unreadable")) && !access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    openDisc(onLayerOne ? Disc::Dvd9LayerOne : Disc::Cd);
    // The session opens the image once, for every read and write: whether it may write is
    // settled then, and removing the file later takes nothing from the handle it holds.
    const bool atOpen = fault == "ReadOnlyImage";
    if (atOpen) {
        ASSERT_NO_FATAL_FAILURE(inflict(writer, fault));
        ASSERT_NO_FATAL_FAILURE(open(onLayerOne, onLayerOne));
    }
    const auto run = start(writer);
    if (!atOpen) {
        ASSERT_NO_FATAL_FAILURE(inflict(writer, fault));
    }
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
        // Extraction only reads the image, through the handle the session holds, so neither a
        // read-only image nor one removed from its folder is a fault for it.
        for (const auto* fault : {"ReadOnlyImage", "VanishedImage", "ShrunkImage"}) {
            if (writer != Writer::Extract || fault == std::string("ShrunkImage")) {
                cases.push_back({writer, fault});
            }
        }
        if (writer == Writer::Relink || writer == Writer::ModifyToc) {
            for (const auto* fault :
                 {"ReadOnlyImage", "VanishedImage", "ShrunkImage", "ChangedCopy"}) {
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

TEST_F(FaultTest, AFullFolderLosesOnlyTheFileThatDidNotFitAndItsPartIsRemoved) {
    openDisc(Disc::Cd);
    const auto before = readFileBytes(image);
    const Bytes older = {'o', 'l', 'd'};
    writeFileBytes(out + "/BIG.BIN", older);
    // BIG.BIN fills the folder before it is done; the files around it fit.
    auto report = withFileSizeLimit(4096, [&] {
        return extractFiles(snapshot({"K.BIN", "BIG.BIN", "T.BIN"}), out, recorder);
    });
    ASSERT_EQ(report.failures.size(), 1u);
    EXPECT_EQ(report.failures[0].rowName, "BIG.BIN");
    expectRefusal(report.failures[0].error, out + "/BIG.BIN", "File too large");
    EXPECT_EQ(readFileBytes(out + "/BIG.BIN"), older);
    EXPECT_EQ(std::distance(fs::directory_iterator(out), {}), 3) << "a part was left behind";
    EXPECT_EQ(readFileBytes(out + "/K.BIN"), pattern(1000, seed + 1));
    EXPECT_EQ(readFileBytes(out + "/T.BIN"), pattern(40, seed + 2));
    EXPECT_EQ(readFileBytes(image), before);
    // Written under its own name where no older file was, the part is removed all the same.
    const std::string empty = dir.file("empty");
    fs::create_directory(empty);
    report = withFileSizeLimit(
        4096, [&] { return extractFiles(snapshot({"BIG.BIN"}), empty, recorder); });
    EXPECT_EQ(report.failures.size(), 1u);
    EXPECT_TRUE(fs::is_empty(empty)) << "a part was left behind";

    // In a folder that turns read-only once BIG.BIN is begun, no later file can be made and
    // what was written of BIG.BIN cannot be removed: the message must say that it stays.
    if (!access.holds()) {
        GTEST_SKIP() << access.failure();
    }
    struct ReadOnlyOnBegin : Recorder {
        void beginFile(const std::string& rowName) override {
            Recorder::beginFile(rowName);
            ::chmod(folder.c_str(), 0555);
        }
        std::string folder;
    } observer;
    observer.folder = out;
    report = withFileSizeLimit(4096, [&] {
        return extractFiles(snapshot({"BIG.BIN", "Z.BIN"}), out, observer);
    });
    ::chmod(out.c_str(), 0755);
    ASSERT_EQ(report.failures.size(), 2u);
    expectRefusal(report.failures[0].error, out + "/BIG.BIN", "could not be removed");
    expectRefusal(report.failures[1].error, out + "/Z.BIN", "Permission denied");
    EXPECT_EQ(readFileBytes(out + "/BIG.BIN"), older);
    EXPECT_EQ(readFileBytes(image), before);
}

}  // namespace
}  // namespace kestrel
