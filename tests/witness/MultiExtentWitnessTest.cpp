// A file of several extents, written small by the builder (makers write one only above 4 GiB),
// read by xorriso and 7z, which both follow chains of multi-extent records: they must see the
// extents, size and bytes this editor sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ranges>
#include <regex>
#include <sstream>

#include "ops/AddFile.h"
#include "ops/Extraction.h"
#include "ops/MasterFile.h"
#include "ops/Replace.h"
#include "ops/Session.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

class QuietObserver : public OperationObserver {
public:
    void beginFile(const std::string&) override {}
    void showPercent(int) override {}
    bool stopRequested() override { return false; }
};

std::string witness(const std::string& command) {
    const auto output = commandOutput(command + " 2>/dev/null");
    EXPECT_TRUE(output) << command;
    return output.value_or("");
}

TEST(MultiExtentWitness, XorrisoAnd7zSeeTheBuildersChainAsThisEditorDoes) {
    for (const char* tool : {"xorriso", "7z"}) {
        if (!haveCommand(tool)) {
            GTEST_SKIP() << tool << " is not installed (scripts/install-deps installs it)";
        }
    }
    TempDir dir;
    const auto image = dir.file("chain.iso");
    IsoBuilder builder = chainedImageBuilder();
    builder.addFile(IsoBuilder::kRoot, fileAt("Z.BIN;1", 80, 100, pattern(2048, 8)));
    builder.setVolumeSectors(100);
    builder.writeTo(image);

    auto session = Session::open(image, dir.file("layer1.tmp"));
    ASSERT_TRUE(session);
    const auto listing = session->listDirectory(IsoBuilder::kRoot);
    ASSERT_TRUE(listing);
    // Each extent as "path lba sectors file-size", in record order, as xorriso reports them.
    std::vector<std::string> ours;
    for (const auto& row : std::views::reverse(listing->rows)) {
        for (const auto& extent : row.extents.empty()
                                      ? std::vector<Extent>{{row.extentLba, row.dataLength}}
                                      : row.extents) {
            ours.push_back("/" + row.name + " " + std::to_string(extent.lba) + " " +
                           std::to_string((extent.length + 2047) / 2048) + " " + row.size);
        }
    }
    const std::regex reported(R"(^File data lba:\s*\d+ ,\s*(\d+) ,\s*(\d+) ,\s*(\d+) , '(.*)'$)");
    std::vector<std::string> theirs;
    std::istringstream lines(witness("xorriso -indev '" + image + "' -find / -exec report_lba --"));
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, reported)) {
            theirs.push_back(match[4].str() + " " + match[1].str() + " " + match[2].str() + " " +
                             match[3].str());
        }
    }
    EXPECT_EQ(ours, theirs);

    const std::regex sevenZipLine(R"(^\S+ \S+ \S{5}\s+(\d+)\s+\d+\s+BIG\.BIN$)");
    std::istringstream listed(witness("7z l '" + image + "'"));
    std::string sevenZipSize;
    for (std::string line; std::getline(listed, line);) {
        std::smatch match;
        if (std::regex_match(line, match, sevenZipLine)) {
            sevenZipSize = match[1];
        }
    }
    EXPECT_EQ(sevenZipSize, "7144");

    // Every extent's bytes, in order, and nothing behind the last one's size.
    QuietObserver quiet;
    const auto folder = dir.file("ours");
    std::filesystem::create_directory(folder);
    const auto report =
        extractFiles(session->snapshot(IsoBuilder::kRoot, {"BIG.BIN"}), folder, quiet);
    ASSERT_TRUE(report.failures.empty()) << report.failures.front().error.message;
    witness("7z x -y -o'" + dir.file("7z") + "' '" + image + "' BIG.BIN");
    witness("xorriso -osirrox on -indev '" + image + "' -extract /BIG.BIN '" +
            dir.file("xorriso.bin") + "'");
    const auto extracted = readFileBytes(folder + "/BIG.BIN");
    EXPECT_EQ(extracted.size(), 7144u);
    EXPECT_EQ(readFileBytes(dir.file("7z") + "/BIG.BIN"), extracted);
    EXPECT_EQ(readFileBytes(dir.file("xorriso.bin")), extracted);
}

// Replace makes a file of several extents one extent: the chain's records become one record,
// the records behind them move up inside the directory, and xorriso and 7z read the one file
// with the replacement's bytes, in its first extent's sectors or at the volume's end. Undo
// gives the chain back.
TEST(MultiExtentWitness, ReplaceMakesTheChainOneRecordThatXorrisoAnd7zRead) {
    TempDir dir;
    const auto image = dir.file("chain.iso");
    IsoBuilder builder = chainedImageBuilder();
    builder.addFile(IsoBuilder::kRoot, fileAt("Z.BIN;1", 80, 100, pattern(2048, 8)));
    builder.setVolumeSectors(100);
    builder.writeTo(image);
    const auto original = readFileBytes(image);
    for (const auto& [size, lba] : {std::pair<size_t, uint32_t>{3000, 60}, {5000, 100}}) {
        SCOPED_TRACE(size);
        writeFileBytes(image, original);
        const auto replacement = pattern(size, 4);
        writeFileBytes(dir.file("replacement"), replacement);
        auto session = Session::open(image, dir.file("layer1.tmp"));
        ASSERT_TRUE(session);
        const auto location = session->findRecord(IsoBuilder::kRoot, "BIG.BIN");
        ASSERT_TRUE(location && location->isChained());
        QuietObserver quiet;
        const auto replaced =
            replaceFile(*session, IsoBuilder::kRoot, *location, dir.file("replacement"), {}, quiet);
        ASSERT_TRUE(replaced) << replaced.error().message;
        EXPECT_EQ(replaced->placement.lba, lba);

        const auto reports = witness("xorriso -indev '" + image + "' -find / -exec report_lba --");
        // One extent of BIG.BIN, where it was placed, as long as the replacement.
        const std::regex one("File data lba: +0 , +" + std::to_string(lba) + " , +\\d+ , +" +
                             std::to_string(size) + " , '/BIG.BIN'");
        EXPECT_TRUE(std::regex_search(reports, one)) << reports;
        size_t mentions = 0;
        for (size_t at = 0; (at = reports.find("'/BIG.BIN'", at)) != std::string::npos; ++at) {
            ++mentions;
        }
        EXPECT_EQ(mentions, 1u) << reports;
        witness("7z x -y -o'" + dir.file("7z") + "' '" + image + "' BIG.BIN");
        witness("xorriso -osirrox on -indev '" + image + "' -extract /BIG.BIN '" +
                dir.file("xorriso.bin") + "'");
        EXPECT_EQ(readFileBytes(dir.file("7z") + "/BIG.BIN"), replacement);
        EXPECT_EQ(readFileBytes(dir.file("xorriso.bin")), replacement);
        std::filesystem::remove_all(dir.file("7z"));
        std::filesystem::remove(dir.file("xorriso.bin"));

        const auto last = session->journal()->lastUndoable();
        ASSERT_TRUE(last && *last);
        ASSERT_TRUE(session->undo((*last)->id));
        EXPECT_EQ(readFileBytes(image), original);
    }
}

// xorriso's chain for a file past 4 GiB, in both trees: Replace makes the primary and the Joliet
// chain one record each for a short replacement, in the chain's first sectors, and a chain of
// two again for one of 4 GiB or more, at the volume's end; Add gives a new file of 4 GiB or
// more a chain in both trees. isoinfo lists the records in each tree, 7z (through Joliet) and
// xorriso (through Rock Ridge) read the file's bytes, and undo gives the image back.
TEST(MultiExtentWitness, ReplaceAndAddWriteChainsInBothTreesAsXorrisoDoes) {
    TempDir dir;
    const auto tree = dir.file("tree");
    std::filesystem::create_directories(tree);
    writeFileBytes(tree + "/A.TXT", {'a'});
    writeFileBytes(tree + "/BIG.BIN", {});
    std::filesystem::resize_file(tree + "/BIG.BIN", (uint64_t{4} << 30) + (2 << 20));
    const auto image = dir.file("big.iso");
    // Sparse, as the zeros of the file need no disk.
    witness("xorriso -as mkisofs -quiet -iso-level 3 -J -R -o '" + image + "' '" + tree +
            "' 2>/dev/null && fallocate --dig-holes '" + image + "' && cp --sparse=always '" +
            image + "' '" + image + ".original'");
    const auto source = dir.file("NEW.BIN");
    const struct {
        bool add;  // else Replace of BIG.BIN
        uint64_t size;
        size_t records;
    } edits[] = {{false, 3000, 1},
                 {false, (uint64_t{4} << 30) + (6 << 20), 2},
                 {true, (uint64_t{4} << 30) + 5000, 2}};
    for (const auto& edit : edits) {
        SCOPED_TRACE(std::to_string(edit.size) + (edit.add ? " added" : " replacing"));
        // Its own bytes at both ends, zeros between.
        writeFileBytes(source, pattern(3000, 5));
        std::filesystem::resize_file(source, edit.size);
        witness("printf 'end' | dd of='" + source + "' bs=1 seek=" + std::to_string(edit.size - 3) +
                " conv=notrunc status=none");

        auto session = Session::open(image, dir.file("layer1.tmp"));
        ASSERT_TRUE(session);
        const auto location = session->findRecord(1, "BIG.BIN");
        ASSERT_TRUE(location && location->isChained());
        const uint32_t end = session->volume().volumeSectors;
        QuietObserver quiet;
        const std::string name = edit.add ? "NEW.BIN" : "BIG.BIN";
        if (edit.add) {
            const auto added = addFile(*session, 1, source, {}, quiet);
            ASSERT_TRUE(added) << added.error().message;
            EXPECT_EQ(added->placement.lba, end);
            EXPECT_EQ(added->viewNotUpdated, std::nullopt);
        } else {
            const auto replaced = replaceFile(*session, 1, *location, source, {}, quiet);
            ASSERT_TRUE(replaced) << replaced.error().message;
            EXPECT_EQ(replaced->placement.lba, edit.records == 1 ? location->extentLba : end);
            EXPECT_EQ(replaced->patch.viewNotUpdated, std::nullopt);
        }

        for (const std::string view : {"", "-J ", "-R "}) {
            const auto listing = witness("isoinfo " + view + "-l -i '" + image + "'");
            std::istringstream lines(listing);
            size_t listed = 0;
            for (std::string line; std::getline(lines, line);) {
                listed += line.find(name) != std::string::npos ? 1 : 0;
            }
            EXPECT_EQ(listed, edit.records) << view << listing;
        }
        const auto out = dir.file("out");
        witness("7z x -y -o'" + out + "' '" + image + "' " + name);
        EXPECT_TRUE(commandOutput("cmp -s '" + out + "/" + name + "' '" + source + "'")) << "7z";
        std::filesystem::remove_all(out);
        witness("xorriso -osirrox on -indev '" + image + "' -extract /" + name + " '" + out + "'");
        EXPECT_TRUE(commandOutput("cmp -s '" + out + "' '" + source + "'")) << "xorriso";
        std::filesystem::remove_all(out);

        const auto last = session->journal()->lastUndoable();
        ASSERT_TRUE(last && *last);
        ASSERT_TRUE(session->undo((*last)->id));
        EXPECT_TRUE(commandOutput("cmp -s '" + image + "' '" + image + ".original'"))
            << "undo did not give the image back";
    }
}

// genisoimage's UDF entry for a file over 1 GiB holds one descriptor per gigabyte or less, as
// will an entry given such data: relinking a small file to the large one's data, replacing the
// large one by a short file, and by one of 4 GiB or more at the volume's end (a chain of two
// records in each ISO 9660 tree), each rewrites the UDF twin's descriptors so that 7-Zip's UDF
// reader reads the new bytes, udfinfo reads the image, and undo gives the image back.
TEST(MultiExtentWitness, UdfTwinsOfLargeFilesTakeADescriptorPerGigabyte) {
    TempDir dir;
    const auto tree = dir.file("tree");
    std::filesystem::create_directories(tree);
    writeFileBytes(tree + "/A.TXT", pattern(6, 1));
    // Its own bytes at both ends, zeros between.
    const auto fill = [](const std::string& path, uint64_t size) {
        writeFileBytes(path, pattern(3000, 5));
        std::filesystem::resize_file(path, size);
        witness("printf 'end' | dd of='" + path + "' bs=1 seek=" + std::to_string(size - 3) +
                " conv=notrunc status=none");
    };
    fill(tree + "/Z.BIN", (uint64_t{1} << 30) + (1 << 20));
    const auto image = dir.file("bridge.iso");
    witness("genisoimage -quiet -udf -J -R -o '" + image + "' '" + tree +
            "' && fallocate --dig-holes '" + image + "' && cp --sparse=always '" + image + "' '" +
            image + ".original'");
    const auto source = dir.file("NEW.BIN");
    const struct {
        const char* name;
        std::function<void(Session&)> edit;
        const char* udfPath;
        std::string expected;  // the file whose bytes a UDF reader then reads there
    } edits[] = {
        {"relink with size",
         [](Session& session) {
             const auto master = chooseMasterFile(session, 1, "Z.BIN");
             ASSERT_TRUE(master);
             const auto run = relinkFiles(session, 1, {"A.TXT"}, *master, true);
             EXPECT_FALSE(run.failure);
             EXPECT_TRUE(run.viewsNotUpdated.empty()) << run.viewsNotUpdated.front();
         },
         "A.TXT", tree + "/Z.BIN"},
        {"replace by a short file",
         [&](Session& session) {
             writeFileBytes(source, pattern(3000, 7));
             QuietObserver quiet;
             const auto replaced =
                 replaceFile(session, 1, *session.findRecord(1, "Z.BIN"), source, {}, quiet);
             ASSERT_TRUE(replaced) << replaced.error().message;
             EXPECT_EQ(replaced->patch.viewNotUpdated, std::nullopt);
         },
         "Z.BIN", source},
        {"replace by 4 GiB and more",
         [&](Session& session) {
             fill(source, (uint64_t{4} << 30) + (6 << 20));
             QuietObserver quiet;
             const auto replaced =
                 replaceFile(session, 1, *session.findRecord(1, "Z.BIN"), source, {}, quiet);
             ASSERT_TRUE(replaced) << replaced.error().message;
             EXPECT_EQ(replaced->placement.kind, PlacementKind::VolumeEnd);
             EXPECT_EQ(replaced->patch.viewNotUpdated, std::nullopt);
         },
         "Z.BIN", source},
    };
    for (const auto& [name, edit, udfPath, expected] : edits) {
        SCOPED_TRACE(name);
        auto session = Session::open(image, dir.file("layer1.tmp"));
        ASSERT_TRUE(session);
        edit(*session);
        const auto out = dir.file("out");
        // 7-Zip exits with 2 when data no file names any longer follows the last file's, as a
        // short replacement leaves it, yet reads every file.
        commandOutput("7z x -tudf -y -o'" + out + "' '" + image + "' " + udfPath + " >/dev/null");
        EXPECT_TRUE(commandOutput("cmp -s '" + out + "/" + udfPath + "' '" + expected + "'"));
        std::filesystem::remove_all(out);
        EXPECT_TRUE(commandOutput("udfinfo '" + image + "' >/dev/null 2>&1"));

        const auto last = session->journal()->lastUndoable();
        ASSERT_TRUE(last && *last);
        ASSERT_TRUE(session->undo((*last)->id));
        EXPECT_TRUE(commandOutput("cmp -s '" + image + "' '" + image + ".original'"))
            << "undo did not give the image back";
    }
}

}  // namespace
}  // namespace kestrel
