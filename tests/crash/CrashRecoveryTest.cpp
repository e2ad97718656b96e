// Kills a child process at the calls that write or sync a file during an edit, before each
// call or part way through it, then opens the image as the next start would: it must be
// exactly as before the edit or exactly as after it, and an edit found complete must undo to
// the image before it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ops/ImageJournal.h"
#include "support/Images.h"
#include "support/RawImages.h"
#include "support/SharedExtentsMount.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Arguments = std::vector<std::string>;

struct Edit {
    const char* name;
    // After the image: the replacement or the master first, where there is one, or the plan.
    // The child runs in the test's folder, where the replacement and the plans are.
    Arguments rows;
    // Made in a raw Mode 2 image, opened through its cue sheet: the journal keeps and puts
    // back whole raw sectors, codes and all.
    bool raw = false;
    // Made on an XFS file system with shared extents, the journal beside it, on a file of
    // several MiB, whose old blocks are cloned into the entry rather than copied.
    bool sharedExtents = false;
    const char* label = "";  // tells apart two edits of one kind
    // Made in an image sgdisk gave a GPT, its backup past the volume with too little room before
    // it for the replacement: the growth moves it.
    bool gpt = false;
};

// Every call near the start and the end of the edit, where its entry is begun and marked
// complete, and a spread of the many writes of file data between them.
long nextKilledCall(long call, long calls) {
    constexpr long kEdge = 20;
    constexpr long kSpread = 30;
    return call < kEdge || call >= calls - kEdge
               ? call + 1
               : call + std::max(1L, (calls - 2 * kEdge) / kSpread);
}

// Plans that write the same bytes twice, so that their entries hold ranges that overlap; one
// adds a file, growing the image and rewriting the root directory.
const std::pair<const char*, const char*> kPlans[] = {
    {"SetRecordTwice", R"({"plan": 1, "edits": [
        {"op": "set-record", "file": "/C.BIN", "size": 100},
        {"op": "set-record", "file": "/C.BIN", "lba": 40, "size": 200}]})"},
    {"DummyThenOverwrite", R"({"plan": 1, "edits": [
        {"op": "dummy", "files": ["/J.BIN"]},
        {"op": "overwrite", "file": "/J.BIN", "replacement": "replacement"}]})"},
    {"AddThenDummy", R"({"plan": 1, "edits": [
        {"op": "add", "directory": "/", "file": "replacement", "name": "NEW.BIN"},
        {"op": "dummy", "files": ["/NEW.BIN"]}]})"},
};

void PrintTo(const Edit& edit, std::ostream* out) {
    *out << edit.name << (edit.raw ? " (raw)" : "") << (edit.sharedExtents ? " (shared)" : "");
}

class CrashRecoveryTest : public ::testing::TestWithParam<Edit> {
protected:
    // Eleven files of one to six sectors, packed from sector 30; odd and even starts put
    // page boundaries at different places in their data.
    CrashRecoveryTest() {
        if (GetParam().sharedExtents) {
            auto made = SharedExtentsMount::make(whyNot);
            if (!made) {
                return;
            }
            mount.emplace(std::move(*made));
            image = opened = mount->file("image.iso");
        }
        IsoBuilder builder(Layout::CdRomXa, "CRASH");
        uint32_t lba = 30;
        const char* names = "ABCDEFGHIJK";
        for (const uint32_t size : {9000, 5000, 2048, 100, 4097, 700, 1, 6144, 3000, 12000, 40}) {
            const uint32_t sectors = size / 2048 + 1;
            builder.addFile(IsoBuilder::kRoot, {std::string(1, *names++) + ".BIN;1",
                                                size,
                                                lba,
                                                pattern(sectors * 2048, static_cast<uint8_t>(lba)),
                                                {},
                                                0});
            lba += sectors;
        }
        // A record a slip of Modify TOC left pointing at the volume descriptors: blanked, the
        // volume no longer opens until the Dummy is undone.
        builder.addFile(IsoBuilder::kRoot, {"S.BIN;1", 6000, 16, {}, {}, 0});
        if (GetParam().sharedExtents) {
            // At an odd sector: its first and last bytes are copied, the blocks between cloned.
            constexpr uint32_t kLarge = (3 << 20) + 1000;
            builder.addFile(
                IsoBuilder::kRoot,
                {"L.BIN;1", kLarge, lba, pattern(kLarge / 2048 * 2048 + 2048, 77), {}, 0});
        }
        builder.writeTo(dir.file("before.iso"));
        if (GetParam().gpt) {
            const auto made =
                commandOutput("truncate -s +18K " + dir.file("before.iso") +
                              " && sgdisk -a 1 -o -n 1:64:0 " + dir.file("before.iso") + " 2>&1");
            EXPECT_TRUE(made) << "sgdisk made no GPT";
        }
        if (GetParam().raw) {
            writeRawTwin(dir.file("before.iso"), {RawMode::Mode2, {}});
            std::ofstream(dir.file("image.cue"))
                << isobuilder::cueSheet("image.bin", RawMode::Mode2);
        }
        before = readFileBytes(dir.file(GetParam().raw ? "before.bin" : "before.iso"));
        writeFileBytes(dir.file("replacement"), pattern(7000, 99));
        for (const auto& [name, plan] : kPlans) {
            std::ofstream(dir.file(name)) << plan;
        }
    }

    // Runs the child on a fresh copy of the image with a journal of its own; returns its
    // wait status and what it printed.
    std::pair<int, std::string> runChild(const std::string& state, long crashAt, bool torn) {
        writeFileBytes(image, before);
        Arguments arguments{KESTREL_CRASH_CHILD, GetParam().name, opened};
        arguments.insert(arguments.end(), GetParam().rows.begin(), GetParam().rows.end());
        const std::string printed = dir.file("printed");
        const pid_t child = fork();
        if (child == 0) {
            std::vector<char*> argv;
            for (auto& argument : arguments) {
                argv.push_back(argument.data());
            }
            argv.push_back(nullptr);
            setenv("XDG_STATE_HOME", state.c_str(), 1);
            setenv("KESTREL_CRASH_AT", std::to_string(crashAt).c_str(), 1);
            setenv("KESTREL_CRASH_TORN", torn ? "1" : "0", 1);
            if (chdir(dir.path().c_str()) == 0 && freopen(printed.c_str(), "w", stdout)) {
                execv(argv[0], argv.data());
            }
            _exit(127);
        }
        int status = -1;
        waitpid(child, &status, 0);
        std::ifstream output(printed);
        return {status, std::string(std::istreambuf_iterator<char>(output), {})};
    }

    // A journal of its own for each run, beside the image.
    std::string stateFolder(int run) const {
        const std::string name = "state-" + std::to_string(run);
        return mount ? mount->file(name) : dir.file(name);
    }

    TempDir dir;
    std::string whyNot;
    std::optional<SharedExtentsMount> mount;
    std::string image = dir.file(GetParam().raw ? "image.bin" : "image.iso");
    std::string opened = GetParam().raw ? dir.file("image.cue") : image;
    Bytes before;
};

TEST_P(CrashRecoveryTest, EveryKillLeavesTheImageBeforeOrAfterTheEdit) {
    if (GetParam().sharedExtents && !mount) {
        GTEST_SKIP() << whyNot;
    }
    const auto [status, printed] = runChild(stateFolder(-1), 0, false);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
    const Bytes after = readFileBytes(image);
    ASSERT_NE(after, before);
    const long calls = std::stol(printed);
    int killPoints = 0;
    for (long crashAt = 1; crashAt <= calls; crashAt = nextKilledCall(crashAt, calls)) {
        for (const bool torn : {false, true}) {
            SCOPED_TRACE("killed at call " + std::to_string(crashAt) + (torn ? ", torn" : ""));
            // The journals of earlier runs would fill a small file system.
            std::filesystem::remove_all(stateFolder(killPoints - 1));
            const std::string state = stateFolder(killPoints++);
            const auto [killed, ignored] = runChild(state, crashAt, torn);
            ASSERT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL);
            setenv("XDG_STATE_HOME", state.c_str(), 1);
            // The journal alone, as every open reads it first: the volume may not open.
            auto journal = ImageJournal::open(opened);
            ASSERT_TRUE(journal && journal->journal()) << "the journal cannot be opened";
            const Bytes found = readFileBytes(image);
            const auto history = journal->journal()->history();
            ASSERT_TRUE(history) << history.error().message;
            EXPECT_EQ(
                std::ranges::count(*history, JournalEntry::State::Incomplete, &JournalEntry::state),
                0);
            const auto undoable = journal->journal()->lastUndoable();
            ASSERT_TRUE(undoable);
            if (found == before) {
                EXPECT_FALSE(*undoable) << "an edit that was put back is offered for undo";
                continue;
            }
            std::string notes;
            for (const auto& note : journal->recoveryNotes()) {
                notes += note + "\n";
            }
            ASSERT_TRUE(found == after) << "the image holds part of the edit. " << notes;
            ASSERT_TRUE(*undoable) << notes;
            const auto undone = journal->undo((*undoable)->id);
            ASSERT_TRUE(undone) << undone.error().message;
            ASSERT_TRUE(readFileBytes(image) == before);
        }
    }
    RecordProperty("kill_points", killPoints);
    std::printf("%s: %d kill points of %ld calls\n", GetParam().name, killPoints, calls);
}

INSTANTIATE_TEST_SUITE_P(
    Edits, CrashRecoveryTest,
    ::testing::Values(Edit{"dummy", {"A.BIN", "B.BIN", "D.BIN", "E.BIN", "G.BIN", "J.BIN"}},
                      Edit{"overwrite", {"replacement", "J.BIN"}},
                      Edit{"replace", {"replacement", "D.BIN"}},
                      Edit{"replace", {"replacement", "D.BIN"}, true},
                      Edit{"replace", {"replacement", "D.BIN"}, false, false, "GptHybrid", true},
                      Edit{"relink",
                           {"B.BIN", "A.BIN", "C.BIN", "D.BIN", "E.BIN", "F.BIN", "G.BIN", "H.BIN",
                            "I.BIN", "K.BIN"}},
                      Edit{"dummy", {"A.BIN", "C.BIN", "D.BIN", "J.BIN"}, true},
                      Edit{"plan", {kPlans[0].first}}, Edit{"plan", {kPlans[1].first}},
                      Edit{"plan", {kPlans[2].first}}, Edit{"plan", {kPlans[2].first}, true},
                      Edit{"dummy", {"L.BIN"}, false, true},
                      Edit{"dummy", {"S.BIN"}, false, false, "OverTheDescriptors"}),
    [](const auto& info) {
        return std::string(info.param.name) + (info.param.raw ? "Raw" : "") +
               (info.param.sharedExtents ? "SharedExtents" : "") +
               (info.param.name == std::string("plan") ? info.param.rows[0] : "") +
               info.param.label;
    });

}  // namespace
}  // namespace kestrel::test
