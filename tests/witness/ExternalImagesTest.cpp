// Images made by genisoimage -XA, read by this editor and by isoinfo: both must see the same
// files, and a patch must look to isoinfo exactly as intended.
#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "image/DirectoryListing.h"
#include "image/Volume.h"
#include "ops/RecordPatch.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

struct WitnessedFile {
    std::string identifier;
    uint32_t lba;
    uint32_t size;
    std::string date;  // as this editor spells it
};

// isoinfo -l: plain files (flags 00) per directory path, in record order.
std::map<std::string, std::vector<WitnessedFile>> isoinfoListing(const std::string& image) {
    static const std::array<std::string, 12> abbreviations = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    static const std::array<std::string, 12> spelled = {
        "January", "Febuary", "March",     "April",   "May",       "June",
        "July",    "August",  "September", "October", "Novemeber", "December"};
    const std::regex heading(R"(^Directory listing of (.*)$)");
    const std::regex entry(
        R"(^\S+\s+\d+\s+\d+\s+\d+\s+(\d+)\s+(\w{3})\s+(\d+)\s+(\d+)\s+\[\s*(\d+)\s+([0-9a-fA-F]+)\]\s+(.*?)\s*$)");
    const auto output = commandOutput("isoinfo -l -i '" + image + "'");
    EXPECT_TRUE(output);
    std::map<std::string, std::vector<WitnessedFile>> listing;
    std::string directory;
    std::istringstream lines(output.value_or(""));
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, heading)) {
            directory = match[1];
            listing[directory];
        } else if (std::regex_match(line, match, entry) && match[6] == "00") {
            const auto month =
                std::find(abbreviations.begin(), abbreviations.end(), match[2].str());
            const std::string date = spelled[month - abbreviations.begin()] + " " +
                                     std::to_string(std::stoi(match[3])) + ", " + match[4].str();
            listing[directory].push_back({match[7], static_cast<uint32_t>(std::stoul(match[5])),
                                          static_cast<uint32_t>(std::stoul(match[1])), date});
        }
    }
    return listing;
}

std::string directoryPath(const Volume& volume, DirectoryNumber number) {
    std::string path = "/";
    for (DirectoryNumber n = number; n > 1; n = volume.directories[n - 1].parent) {
        path = "/" + volume.directories[n - 1].identifier + path;
    }
    return path;
}

void writeText(const fs::path& path, const std::string& text, const std::string& date) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    ASSERT_TRUE(commandOutput("touch -d '" + date + "' '" + path.string() + "'"));
}

class GenisoimageWitness : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveCommand("genisoimage") || !haveCommand("isoinfo")) {
            GTEST_SKIP() << "genisoimage and isoinfo (package genisoimage) are not installed";
        }
        const fs::path tree = dir.path() / "tree";
        writeText(tree / "README.TXT", "Read me first.\n", "2003-02-03 12:00 UTC");
        writeText(tree / "A_RATHER_LONG_FILE_NAME.TEXT", "long", "1999-11-30 08:00 UTC");
        writeText(tree / "DOCS" / "MANUAL.TXT", std::string(5000, 'm'), "2010-07-04 10:00 UTC");
        writeText(tree / "DOCS" / "DEEP" / "NOTE.TXT", "deep", "2021-01-31 23:00 UTC");
        for (int i = 0; i < 90; ++i) {
            writeText(tree / "DATA" / ("LEVEL" + std::to_string(i) + ".DAT"),
                      std::string(size_t(i) * 37, 'd'), "2015-05-15 15:00 UTC");
        }
        fs::create_directories(tree / "EMPTY");
        ASSERT_TRUE(commandOutput("TZ=UTC genisoimage -quiet -XA -l -V 'WITNESS DISC' -o '" +
                                  image + "' '" + tree.string() + "' 2>&1"));
        state.chooseImage(image);
        auto opened = openVolume(state);
        ASSERT_TRUE(opened) << opened.error().message;
        volume = *opened;
    }

    TempDir dir;
    std::string image = dir.file("witness.iso");
    EditorState state;
    Volume volume;
};

TEST_F(GenisoimageWitness, EveryDirectoryListsWhatIsoinfoSees) {
    EXPECT_EQ(volume.label, "WITNESS");
    EXPECT_FALSE(volume.isDvd);
    const auto witnessed = isoinfoListing(image);
    ASSERT_EQ(witnessed.size(), volume.directories.size());
    size_t files = 0;
    for (DirectoryNumber n = 1; n <= volume.directories.size(); ++n) {
        const auto path = directoryPath(volume, n);
        ASSERT_TRUE(witnessed.contains(path)) << path;
        const auto& expected = witnessed.at(path);
        const auto listing = listDirectory(state, n);
        ASSERT_TRUE(listing);
        ASSERT_EQ(listing->rows.size(), expected.size()) << path;
        for (size_t i = 0; i < expected.size(); ++i) {
            const auto& row = listing->rows[expected.size() - 1 - i];
            const auto& file = expected[i];
            EXPECT_EQ(row.name + ";1", file.identifier) << path;
            EXPECT_EQ(row.lba, std::to_string(file.lba)) << file.identifier;
            EXPECT_EQ(row.size, std::to_string(file.size)) << file.identifier;
            EXPECT_EQ(row.dateModified, file.date) << file.identifier;
            EXPECT_TRUE(findDirectoryRecord(state, n, row.name)) << file.identifier;
            ++files;
        }
    }
    EXPECT_EQ(files, 94u);
}

TEST_F(GenisoimageWitness, ARelinkedRecordShowsTheMastersDataToIsoinfo) {
    const auto master = findDirectoryRecord(state, 1, "A_RATHER_LONG_FILE_NAME.TEXT");
    const auto readme = findDirectoryRecord(state, 1, "README.TXT");
    ASSERT_TRUE(master && readme);
    ASSERT_TRUE(patchDirectoryRecord(image, *readme, master->extentLba, master->dataLength));

    const auto root = isoinfoListing(image).at("/");
    const auto patched = std::find_if(root.begin(), root.end(), [](const WitnessedFile& f) {
        return f.identifier == "README.TXT;1";
    });
    ASSERT_NE(patched, root.end());
    EXPECT_EQ(patched->lba, master->extentLba);
    EXPECT_EQ(patched->size, master->dataLength);
    EXPECT_EQ(commandOutput("isoinfo -i '" + image + "' -x '/README.TXT;1'"), "long");
}

}  // namespace
}  // namespace kestrel
