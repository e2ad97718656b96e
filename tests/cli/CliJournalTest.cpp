// kestrel-cli's undo journal where processes meet and edits overlap: commands that only read,
// run beside edits; plans that write the same bytes twice; an image whose bytes were replaced
// in place since its last edit; an edit that left the volume unreadable.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "CliRun.h"
#include "PreviewedChanges.h"
#include "ops/Session.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Arguments = std::vector<std::string>;

std::string joined(const Arguments& arguments) {
    std::string text;
    for (const auto& argument : arguments) {
        text += (text.empty() ? "" : " ") + argument;
    }
    return text;
}

// Each test keeps its journals in a state folder of its own, inside the one the run names (in
// the build tree under CTest), so that nothing an earlier run or another test left is seen.
class CliJournal : public ::testing::Test {
protected:
    void SetUp() override {
        const char* inherited = std::getenv("XDG_STATE_HOME");
        inherited_ = inherited != nullptr ? std::optional<std::string>(inherited) : std::nullopt;
        state_ = fs::path(inherited_.value_or(folder_.path().string())) /
                 (std::string("CliJournal.") +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(state_);
        ::setenv("XDG_STATE_HOME", state_.c_str(), 1);
    }

    void TearDown() override {
        if (!HasFailure()) {
            fs::remove_all(state_);
        }
        if (inherited_) {
            ::setenv("XDG_STATE_HOME", inherited_->c_str(), 1);
        } else {
            ::unsetenv("XDG_STATE_HOME");
        }
    }

    // genisoimage's image of `files`, each named file and filled with its content.
    std::string isoOf(const std::vector<std::pair<std::string, std::string>>& files) const {
        const fs::path tree = folder_.path() / "tree";
        fs::create_directories(tree);
        for (const auto& [name, content] : files) {
            std::ofstream(tree / name) << content;
        }
        const std::string image = folder_.file("image.iso");
        EXPECT_TRUE(commandOutput("genisoimage -quiet -o " + image + " " + tree.string()));
        return image;
    }

    std::vector<std::string> setAsideJournals() const {
        std::vector<std::string> found;
        std::error_code none;
        for (const auto& item : fs::directory_iterator(state_ / "kestrel" / "journal", none)) {
            if (item.path().filename().string().find(".set-aside-") != std::string::npos) {
                found.push_back(item.path().filename());
            }
        }
        return found;
    }

    TempDir folder_;
    fs::path state_;
    std::optional<std::string> inherited_;
};

// Every command opens the journal and looks for edits a crash cut short, so a listing run at
// any instant of an edit must neither hold the edit up nor take its half-written entry for a
// journal that belongs to another file.
TEST_F(CliJournal, ReadersBesideEditsNeitherHoldThemUpNorSetTheJournalAside) {
    constexpr int kRounds = 10;  // each a Dummy of two files and a record edit
    std::vector<std::pair<std::string, std::string>> files;
    for (int i = 0; i < 25; ++i) {
        files.push_back({"F" + std::to_string(10 + i) + ".BIN",
                         std::string(1000 + 300 * i, static_cast<char>('a' + i))});
    }
    const std::string image = isoOf(files);
    const Bytes original = readFileBytes(image);
    const auto file = [&](int i) { return "/" + files[i].first; };

    std::atomic<bool> finished = false;
    const auto readInALoop = [&](std::vector<Arguments> commands) {
        while (!finished) {
            for (const auto& command : commands) {
                runCli(command);
            }
        }
    };
    std::thread lister(readInALoop, std::vector<Arguments>{{"ls", "-R", image}, {"info", image}});
    std::thread historian(readInALoop, std::vector<Arguments>{{"undo", "--list", image}});
    std::string failed;  // each command that failed, and what it said
    const auto make = [&](const Arguments& arguments) {
        const auto run = runCli(arguments);
        if (run.status != 0) {
            failed += joined(arguments) + ": " + run.err;
        }
    };
    for (int round = 0; round < kRounds; ++round) {
        make({"dummy", image, file(2 * round)});
        make({"dummy", image, file(2 * round + 1)});
        make({"set-record", image, file(20 + round % 5), "--size", std::to_string(round + 1)});
    }
    for (int undo = 0; undo < 3 * kRounds; ++undo) {
        make({"undo", image});
    }
    finished = true;
    lister.join();
    historian.join();

    EXPECT_TRUE(failed.empty()) << failed;
    EXPECT_EQ(setAsideJournals(), std::vector<std::string>());
    EXPECT_TRUE(readFileBytes(image) == original);
}

// The builder's CD sample: /DATA/STRINGS.DAT is 6000 bytes at 29, /DATA/CONFIG.INI 31 at 28,
// /README.TXT 80 at 27, /DOCS/LICENSE.TXT 34 at 33. Each plan's dry run previews every byte it
// then writes, and writes nothing.
TEST_F(CliJournal, PlansThatWriteTheSameBytesTwiceUndoAndTheirUndoIsUndone) {
    const std::string replacement = folder_.file("short.txt");
    std::ofstream(replacement) << "hello";
    const std::string longer = folder_.file("long.txt");
    std::ofstream(longer) << std::string(9000, 'L');
    // More than a dry run keeps of the data a plan writes.
    const std::string large = folder_.file("large.bin");
    std::ofstream(large) << std::string((17 << 20) + 100000, 'G');
    const struct {
        const char* name;
        std::string edits;
        bool raw = false;  // made on a raw Mode 1 image, whose sectors carry headers and codes
    } plans[] = {
        {"set-record twice",
         R"({"op": "set-record", "file": "/DATA/CONFIG.INI", "size": 100},
            {"op": "set-record", "file": "/DATA/CONFIG.INI", "size": 200})"},
        {"relink twice",
         R"({"op": "relink", "master": "/DATA/STRINGS.DAT", "files": ["/README.TXT"],
             "withSize": true},
            {"op": "relink", "master": "/DATA/CONFIG.INI", "files": ["/README.TXT"],
             "withSize": true})"},
        {"dummy then overwrite",
         R"({"op": "dummy", "files": ["/DOCS/LICENSE.TXT"]},
            {"op": "overwrite", "file": "/DOCS/LICENSE.TXT", "replacement": ")" +
             replacement + R"("})"},
        {"dummy of two files that share data after a relink",
         R"({"op": "relink", "master": "/DATA/STRINGS.DAT", "files": ["/README.TXT"],
             "withSize": true},
            {"op": "dummy", "files": ["/DATA/STRINGS.DAT", "/README.TXT"]})"},
        {"replace at the volume's end, then in its own sectors",
         R"({"op": "replace", "file": "/DATA/CONFIG.INI", "replacement": ")" + longer +
             R"("}, {"op": "replace", "file": "/DATA/CONFIG.INI", "replacement": ")" + replacement +
             R"("}, {"op": "set-record", "file": "/DATA/CONFIG.INI", "size": 4})"},
        {"add, then dummy of the file added and another add",
         R"({"op": "add", "directory": "/DATA", "file": ")" + longer +
             R"(", "name": "LONG.TXT"}, {"op": "dummy", "files": ["/DATA/LONG.TXT"]},
            {"op": "add", "directory": "/", "file": ")" +
             replacement + R"(", "name": "SHORT.TXT"})"},
        {"add to a raw image, then dummy of the file added and another add",
         R"({"op": "add", "directory": "/DATA", "file": ")" + longer +
             R"(", "name": "LONG.TXT"}, {"op": "dummy", "files": ["/DATA/LONG.TXT"]},
            {"op": "add", "directory": "/", "file": ")" +
             replacement + R"(", "name": "SHORT.TXT"})",
         true},
        {"add of more than a dry run keeps, then dummy and replace of the file added, another add",
         R"({"op": "add", "directory": "/DATA", "file": ")" + large +
             R"(", "name": "LARGE.BIN"}, {"op": "dummy", "files": ["/DATA/LARGE.BIN"]},
            {"op": "add", "directory": "/", "file": ")" +
             replacement + R"(", "name": "SHORT.TXT"}, {"op": "replace", "file":
             "/DATA/LARGE.BIN", "replacement": ")" +
             longer + R"("})"},
        {"add of more than a dry run keeps to a raw image, then another add",
         R"({"op": "add", "directory": "/DATA", "file": ")" + large +
             R"(", "name": "LARGE.BIN"}, {"op": "add", "directory": "/", "file": ")" + replacement +
             R"(", "name": "SHORT.TXT"})",
         true},
    };
    for (const auto& plan : plans) {
        SCOPED_TRACE(plan.name);
        // An image of its own for each plan, so each has a journal of its own.
        const std::string image =
            folder_.file(std::string(plan.name) + (plan.raw ? ".bin" : ".iso"));
        const std::string planFile = folder_.file("plan.json");
        ASSERT_EQ(runProgram(KESTREL_MKIMAGE,
                             plan.raw ? Arguments{"--layout", "cd", "--raw", "mode1", image}
                                      : Arguments{"--layout", "cd", image})
                      .status,
                  0);
        std::ofstream(planFile) << R"({"plan": 1, "edits": [)" << plan.edits << "]}";
        const Bytes original = readFileBytes(image);

        // Its dry run previews each edit as the ones before would leave the image.
        const auto dryRun = runCli({"apply", image, planFile, "--dry-run", "--json"});
        ASSERT_EQ(dryRun.status, 0) << dryRun.err;
        EXPECT_TRUE(readFileBytes(image) == original);
        const auto applied = runCli({"apply", image, planFile});
        ASSERT_EQ(applied.status, 0) << applied.err;
        const Bytes patched = readFileBytes(image);
        EXPECT_FALSE(patched == original);
        expectChangesPreviewed(dryRun.json().at("changes"), original, patched);
        const auto undone = runCli({"undo", image});
        EXPECT_EQ(undone.status, 0) << undone.err;
        const bool restored = readFileBytes(image) == original;
        EXPECT_TRUE(restored);
        if (!restored) {
            continue;
        }

        // kestrel-cli's undo reverts edits only; an undo is reverted through the core.
        const auto history = runCli({"undo", "--list", "--json", image}).json().at("history");
        auto session = Session::open(image);
        ASSERT_TRUE(session) << session.error().message;
        const auto redone = session->undo(history.back().at("id").get<uint64_t>());
        EXPECT_TRUE(redone) << redone.error().message;
        EXPECT_TRUE(readFileBytes(image) == patched);
    }
}

// replace says where the bytes would go and writes nothing with --dry-run; made, the image
// grows by the sectors placed at its end (a raw one by whole raw sectors), and undo cuts it
// back.
TEST_F(CliJournal, ReplaceSaysWhereItPlacesTheFileAndUndoCutsTheImageBack) {
    const std::string longer = folder_.file("long.txt");
    std::ofstream(longer) << std::string(9000, 'L');
    const struct {
        std::vector<std::string> layout;
        const char* name;
        uint64_t sectorBytes;
        const char* growth;
    } images[] = {{{"--layout", "cd"}, "sample.iso", 2048, "10.2 KB"},
                  {{"--raw", "mode1"}, "sample.bin", 2352, "11.8 KB"}};
    for (const auto& [layout, name, sectorBytes, growth] : images) {
        SCOPED_TRACE(name);
        const std::string image = folder_.file(name);
        auto arguments = layout;
        arguments.push_back(image);
        ASSERT_EQ(runProgram(KESTREL_MKIMAGE, arguments).status, 0);
        const Bytes original = readFileBytes(image);
        const std::string volumeEnd = std::to_string(original.size() / sectorBytes);

        const auto dry = runCli({"replace", "--dry-run", image, "/README.TXT", longer});
        ASSERT_EQ(dry.status, 0) << dry.err;
        EXPECT_NE(dry.out.find("Would place /README.TXT, 9.0 KB, at LBA " + volumeEnd +
                               ", the volume's end; the image would grow by " + growth),
                  std::string::npos)
            << dry.out;
        EXPECT_TRUE(readFileBytes(image) == original);

        const auto made = runCli({"replace", "--json", image, "/README.TXT", longer});
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(made.json().at("placement").dump(),
                  R"({"kind":"volume-end","lba":)" + volumeEnd + R"(,"sectors":5})");
        EXPECT_EQ(readFileBytes(image).size(), original.size() + 5 * sectorBytes);
        EXPECT_EQ(runCli({"undo", image}).status, 0);
        EXPECT_TRUE(readFileBytes(image) == original);
    }
}

// add names the file by the image's rules, refuses what does not fit, is taken or has no room,
// writing nothing, says where it would go with --dry-run, and undo takes it back.
TEST_F(CliJournal, AddNamesTheFileByTheImagesRulesAndUndoTakesItBack) {
    const std::string image = folder_.file("sample.iso");
    ASSERT_EQ(runProgram(KESTREL_MKIMAGE, {"--layout", "cd", image}).status, 0);
    const std::string file = folder_.file("notes.text");
    std::ofstream(file) << std::string(3000, 'N');
    const Bytes original = readFileBytes(image);
    const std::string volumeEnd = std::to_string(original.size() / 2048);
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* said;
    } runs[] = {
        {{"add", image, "/DATA", file},
         1,
         "does not fit this image's ISO 9660 names (level 2: up to 30 characters of A-Z, 0-9 and "
         "_, with at most one dot; it needs only A-Z, 0-9 and _, with at most one dot); give the "
         "name it is to have with --name, such as --name NOTES.TEXT"},
        {{"add", image, "/DATA", file, "--name", "CONFIG.INI"},
         1,
         "its directory already holds CONFIG.INI"},
        {{"add", image, "/DATA/CONFIG.INI", file, "--name", "A.TXT"}, 1, "is not a directory"},
        {{"add", "--dry-run", image, "/DATA", file, "--name", "NOTES.TXT"},
         0,
         "Would add /DATA/NOTES.TXT, 3.0 KB, at LBA "},
    };
    for (const auto& [arguments, status, said] : runs) {
        const auto run = runCli(arguments);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_NE((run.out + run.err).find(said), std::string::npos) << run.out << run.err;
        EXPECT_TRUE(readFileBytes(image) == original);
    }

    const auto made = runCli({"add", "--json", image, "/DATA", file, "--name", "NOTES.TXT"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.json().at("placement").dump(),
              R"({"kind":"volume-end","lba":)" + volumeEnd + R"(,"sectors":2})");
    const auto listed = runCli({"extract", image, "-o", folder_.file("out"), "/DATA/NOTES.TXT"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_TRUE(readFileBytes(folder_.file("out/NOTES.TXT")) == readFileBytes(file));
    EXPECT_EQ(runCli({"undo", image}).status, 0);
    EXPECT_TRUE(readFileBytes(image) == original);
}

// One command that writes the same bytes twice: a Dummy of a file and of another relinked to
// its data and running on past it, whose old bytes are then what the first leaves; a relink of
// two records in one sector of a raw image, which is saved whole for each. Its undo must check
// each range against what the later ones saved, and leave the image as it was before.
TEST_F(CliJournal, CommandsThatWriteTheSameBytesTwiceUndo) {
    const struct {
        const char* image;  // a .bin is a raw Mode 1 image, opened through its cue sheet
        Arguments setUp;    // run before the command, when given
        Arguments command;
    } cases[] = {
        {"shared.iso",
         {"relink", "--master", "/README.TXT", "/DATA/STRINGS.DAT"},
         {"dummy", "/README.TXT", "/DATA/STRINGS.DAT"}},
        {"raw.bin",
         {},
         {"relink", "--master", "/README.TXT", "/DATA/CONFIG.INI", "/DATA/STRINGS.DAT"}},
    };
    for (const auto& each : cases) {
        const std::string image = folder_.file(each.image);
        const bool raw = image.ends_with(".bin");
        SCOPED_TRACE(joined(each.command) + (raw ? " (raw)" : ""));
        Arguments make{"--layout", "cd", image};
        if (raw) {
            make.insert(make.begin() + 2, {"--raw", "mode1"});
        }
        ASSERT_EQ(runProgram(KESTREL_MKIMAGE, make).status, 0);
        const std::string opened = raw ? fs::path(image).replace_extension(".cue").string() : image;
        const auto run = [&](Arguments arguments) {
            arguments.insert(arguments.begin() + 1, opened);
            return runCli(arguments);
        };
        if (!each.setUp.empty()) {
            ASSERT_EQ(run(each.setUp).status, 0);
        }
        const Bytes before = readFileBytes(image);
        const auto edited = run(each.command);
        ASSERT_EQ(edited.status, 0) << edited.err;
        const auto undone = run({"undo"});
        EXPECT_EQ(undone.status, 0) << undone.err;
        EXPECT_TRUE(readFileBytes(image) == before);
    }
}

// `cp other.iso image.iso` writes into the image's own inode, so the journal's folder still
// names it; other.iso here has the same size and volume descriptors and holds zeros where the
// Dummy wrote them, so no checksum of what the Dummy wrote tells the two apart.
TEST_F(CliJournal, UndoRefusesAnImageWhoseBytesWereReplacedInPlaceSinceTheLastEdit) {
    const std::string image =
        isoOf({{"BLANKED.BIN", std::string(5000, 'b')}, {"KEPT.BIN", std::string(3000, 'k')}});
    const auto blanked = runCli({"dummy", image, "/BLANKED.BIN"});
    ASSERT_EQ(blanked.status, 0) << blanked.err;
    Bytes other = readFileBytes(image);
    const auto kept = std::search_n(other.begin(), other.end(), 3000, uint8_t{'k'});
    ASSERT_NE(kept, other.end());
    std::fill_n(kept, 3000, uint8_t{'o'});
    struct stat before {};
    struct stat after {};
    ASSERT_EQ(::stat(image.c_str(), &before), 0);
    // A file's times move with the kernel's clock tick, a few milliseconds: a copy made
    // within the tick of the edit could not be told apart by its time.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    writeFileBytes(image, other);
    ASSERT_EQ(::stat(image.c_str(), &after), 0);
    ASSERT_EQ(before.st_ino, after.st_ino);

    const auto undone = runCli({"undo", image});
    EXPECT_EQ(undone.status, 1) << undone.out;
    EXPECT_TRUE(std::regex_search(undone.err, std::regex("(changed|replaced).* since .*last edit")))
        << undone.err;
    EXPECT_TRUE(readFileBytes(image) == other);
}

// A slip of set-record points a file at the volume descriptors. A Dummy of it is refused
// until forced; forced, it leaves a volume that no command can read, yet each undo needs only
// the journal, and two give back the image byte for byte.
TEST_F(CliJournal, AnEditThatLeavesTheVolumeUnreadableIsAskedForAndUndone) {
    const std::string image = isoOf({{"FILE1.BIN", std::string(5000, 'f')}});
    const Bytes original = readFileBytes(image);
    const auto slipped =
        runCli({"set-record", image, "/FILE1.BIN", "--lba", "16", "--size", "6000"});
    ASSERT_EQ(slipped.status, 0) << slipped.err;
    EXPECT_NE(slipped.err.find("LBA 16 is the primary volume descriptor"), std::string::npos)
        << slipped.err;
    const Bytes slippedBytes = readFileBytes(image);

    const auto refused = runCli({"dummy", image, "/FILE1.BIN"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("covers sector 16, the primary volume descriptor"),
              std::string::npos)
        << refused.err;
    EXPECT_TRUE(readFileBytes(image) == slippedBytes);

    ASSERT_EQ(runCli({"dummy", "--force", image, "/FILE1.BIN"}).status, 0);
    const auto unreadable = runCli({"info", image});
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_TRUE(std::regex_search(
        unreadable.err, std::regex("The last edit, Dummy of FILE1.BIN, 6.0 KB at .*, wrote "
                                   "over sectors 16 to 18, the primary volume "
                                   "descriptor")))
        << unreadable.err;
    const auto listed = runCli({"undo", "--list", image});
    EXPECT_NE(listed.out.find("in-effect\t"), std::string::npos) << listed.err;
    for (const char* edit : {"Dummy", "Modify TOC"}) {
        const auto undone = runCli({"undo", image});
        EXPECT_EQ(undone.status, 0) << undone.err;
        EXPECT_NE(undone.out.find(edit), std::string::npos) << undone.out;
    }
    EXPECT_TRUE(readFileBytes(image) == original);
}

}  // namespace
}  // namespace kestrel::test
