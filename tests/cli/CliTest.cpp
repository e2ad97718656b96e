// kestrel-cli on the builder's CD, DVD and dual-layer samples and on images genisoimage and
// xorriso make: what each command prints, its JSON, its exit status, and the image's bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "CliRun.h"
#include "PreviewedChanges.h"
#include "ops/Session.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

using Json = nlohmann::json;

struct SampleImage {
    const char* name;
    // The image's making, with {image} and {tree} for its path and a folder of files.
    const char* make;
    unsigned layer = 0;
};

const std::vector<SampleImage> kImages = {
    {"BuilderCd", KESTREL_MKIMAGE " --layout cd {image}"},
    {"BuilderDvd", KESTREL_MKIMAGE " --layout dvd {image}"},
    {"BuilderDualLayer0", KESTREL_MKIMAGE " --layout dual {image}"},
    {"BuilderDualLayer1", KESTREL_MKIMAGE " --layout dual {image}", 1},
    {"GenisoimageJolietRockRidge", "genisoimage -quiet -J -R -o {image} {tree}"},
    {"XorrisoJolietRockRidge", "xorriso -as mkisofs -quiet -J -R -o {image} {tree}"},
};

void PrintTo(const SampleImage& image, std::ostream* out) {
    *out << image.name;
}

std::string replaced(std::string text, const std::string& name, const std::string& value) {
    for (size_t at; (at = text.find(name)) != std::string::npos;) {
        text.replace(at, name.size(), value);
    }
    return text;
}

// Builds the image in `folder`; the tree holds files in two directories, one with a long
// mixed-case name only Rock Ridge and Joliet keep.
std::string makeImage(const SampleImage& sample, const TempDir& folder) {
    const auto tree = folder.path() / "tree";
    std::filesystem::create_directories(tree / "DOCS" / "DEEP");
    std::ofstream(tree / "README.TXT") << "read me\n";
    std::ofstream(tree / "DOCS" / "MANUAL.TXT") << std::string(5000, 'm');
    std::ofstream(tree / "DOCS" / "DEEP" / "Mixed Case Name.txt") << "deep\n";
    const std::string image = folder.file("image.iso");
    const auto made =
        commandOutput(replaced(replaced(sample.make, "{image}", image), "{tree}", tree.string()) +
                      " 2>/dev/null");
    EXPECT_TRUE(made) << sample.make;
    return image;
}

std::string layerOption(const SampleImage& sample) {
    return std::to_string(sample.layer);
}

// Every JSON document carries the schema version and its command.
Json jsonOf(const CliRun& run, const std::string& command) {
    EXPECT_EQ(run.status, 0) << run.err;
    const Json document = run.json();
    EXPECT_EQ(document.at("schema"), 1);
    EXPECT_EQ(document.at("command"), command);
    return document;
}

class CliOnImage : public ::testing::TestWithParam<SampleImage> {
protected:
    void SetUp() override {
        ::setenv("XDG_CACHE_HOME", folder_.file("cache").c_str(), 1);
        image_ = makeImage(GetParam(), folder_);
    }

    TempDir folder_;
    std::string image_;
};

// Each file of `ls -R --json` as "/DIR/NAME lba size", and the same from the core's listing.
std::set<std::string> listedFiles(const Json& listing) {
    std::set<std::string> files;
    for (const auto& directory : listing.at("listing")) {
        const std::string path = directory.at("path");
        for (const auto& file : directory.at("files")) {
            files.insert((path == "/" ? "" : path) + "/" + file.at("name").get<std::string>() +
                         " " + std::to_string(file.at("lba").get<int64_t>()) + " " +
                         std::to_string(file.at("size").get<int64_t>()));
        }
    }
    return files;
}

std::set<std::string> coreFiles(const std::string& image, unsigned layer) {
    auto session = Session::open(image);
    EXPECT_TRUE(session);
    if (layer == 1) {
        (void)session->checkDualLayer();
        EXPECT_TRUE(session->switchLayers());
    }
    std::set<std::string> files;
    std::map<DirectoryNumber, std::string> paths{{1, ""}};
    for (const auto& directory : session->volume().directories) {
        if (directory.number != 1) {
            paths[directory.number] = paths[directory.parent] + "/" + directory.identifier;
        }
        const auto listing = session->listDirectory(directory.number);
        EXPECT_TRUE(listing);
        for (const auto& row : listing->rows) {
            files.insert(paths[directory.number] + "/" + row.name + " " +
                         std::to_string(static_cast<int32_t>(row.extentLba)) + " " + row.size);
        }
    }
    return files;
}

// isoinfo -l's plain files (flags 00) as "/DIR/NAME lba size", without the version suffix.
std::set<std::string> isoinfoFiles(const std::string& image) {
    const std::regex heading(R"(^Directory listing of (.*)/$)");
    const std::regex entry(R"(^-\S{9}\s+\d+\s+\d+\s+\d+\s+(\d+) .*\[\s*(\d+) 00\]  (.*?)(;1)? $)");
    std::set<std::string> files;
    std::string directory;
    std::istringstream lines(commandOutput("isoinfo -l -i '" + image + "' 2>/dev/null").value());
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, heading)) {
            directory = match[1];
        } else if (std::regex_match(line, match, entry)) {
            files.insert(directory + "/" + match[3].str() + " " + match[2].str() + " " +
                         match[1].str());
        }
    }
    return files;
}

TEST_P(CliOnImage, ListingAgreesWithTheWindowsAndIsoinfo) {
    const auto listed = listedFiles(
        jsonOf(runCli({"ls", image_, "-R", "--json", "--layer", layerOption(GetParam())}), "ls"));
    EXPECT_EQ(listed, coreFiles(image_, GetParam().layer));
    if (GetParam().layer == 0) {
        EXPECT_EQ(listed, isoinfoFiles(image_));
    }
}

// Every sector of the volume lies in one of map's extents, and every file xorriso reports
// lies at its LBA under one of its records.
TEST_P(CliOnImage, MapAccountsForEverySectorAndEveryFileXorrisoReports) {
    const Json map =
        jsonOf(runCli({"map", image_, "--json", "--layer", layerOption(GetParam())}), "map");
    uint64_t covered = 0;
    std::map<uint32_t, std::set<uint32_t>> fileSizes;
    for (const auto& extent : map.at("extents")) {
        const uint64_t lba = extent.at("lba");
        EXPECT_LE(lba, covered) << "sectors " << covered << " to " << lba << " are not mapped";
        covered = std::max(covered, lba + extent.at("sectors").get<uint64_t>());
        for (const auto& file : extent.value("files", Json::array())) {
            fileSizes[static_cast<uint32_t>(lba)].insert(file.at("size").get<uint32_t>());
        }
    }
    EXPECT_GE(covered, map.at("volumeSectors").get<uint64_t>());
    if (GetParam().layer == 1) {
        return;
    }
    const std::regex reported(R"(^File data lba:\s*0 ,\s*(\d+) ,\s*\d+ ,\s*(\d+) , '(.*)'$)");
    std::istringstream lines(
        commandOutput("xorriso -indev '" + image_ + "' -find / -exec report_lba -- 2>/dev/null")
            .value());
    int files = 0;
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_match(line, match, reported)) {
            ++files;
            EXPECT_TRUE(fileSizes[std::stoul(match[1])].contains(std::stoul(match[2])))
                << match[3] << " at " << match[1];
        }
    }
    EXPECT_GT(files, 0);
}

INSTANTIATE_TEST_SUITE_P(Images, CliOnImage, ::testing::ValuesIn(kImages),
                         [](const auto& info) { return std::string(info.param.name); });

// The builder's CD sample, its bytes before each command, and where its records lie.
class CliEdits : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = folder_.file("sample.iso");
        ASSERT_EQ(runProgram(KESTREL_MKIMAGE, {"--layout", "cd", image_}).status, 0);
        original_ = readFileBytes(image_);
        std::ofstream(folder_.file("short.txt")) << "hello";
    }

    // The offset of the record whose identifier is `identifier`, found by its bytes.
    uint64_t recordOffset(const std::string& identifier) const {
        const std::string bytes(original_.begin(), original_.end());
        const size_t at = bytes.find(identifier + ";1");
        EXPECT_NE(at, std::string::npos);
        return at - 33;
    }

    std::vector<uint8_t> withRecord(std::vector<uint8_t> bytes, const std::string& identifier,
                                    uint32_t lba, std::optional<uint32_t> size) const {
        std::vector<uint8_t> fields;
        for (const uint32_t value : size ? std::vector{lba, *size} : std::vector{lba}) {
            for (int i = 0; i < 4; ++i) {
                fields.push_back(static_cast<uint8_t>(value >> (8 * i)));
            }
            for (int i = 3; i >= 0; --i) {
                fields.push_back(static_cast<uint8_t>(value >> (8 * i)));
            }
        }
        return withBytesAt(std::move(bytes), recordOffset(identifier) + 2, fields);
    }

    std::string plan(const std::vector<std::string>& edits) const {
        std::string text = R"({"plan": 1, "edits": [)";
        for (size_t i = 0; i < edits.size(); ++i) {
            text += (i ? ", " : "") + edits[i];
        }
        const std::string path = folder_.file("plan.json");
        std::ofstream(path) << text << "]}";
        return path;
    }

    TempDir folder_;
    std::string image_;
    std::vector<uint8_t> original_;
};

// /DATA/STRINGS.DAT is 6000 bytes at 29, /DATA/CONFIG.INI 31 at 28, /README.TXT 80 at 27,
// /DOCS/LICENSE.TXT 34 at 33.
TEST_F(CliEdits, EachEditChangesExactlyItsBytesAndUndoesToTheOriginal) {
    const uint64_t licence = 33 * 2048;
    std::vector<uint8_t> shortened = {'h', 'e', 'l', 'l', 'o'};
    shortened.resize(34);
    const struct {
        std::vector<std::string> arguments;
        std::vector<uint8_t> after;
    } cases[] = {
        {{"relink", image_, "--master", "/DATA/STRINGS.DAT", "--with-size", "/DATA/CONFIG.INI",
          "/README.TXT"},
         withRecord(withRecord(original_, "CONFIG.INI", 29, 6000), "README.TXT", 29, 6000)},
        {{"relink", image_, "--master", "/DATA/STRINGS.DAT", "/DATA/CONFIG.INI;1"},
         withRecord(original_, "CONFIG.INI", 29, std::nullopt)},
        {{"set-record", image_, "/README.TXT", "--lba", "-2", "--size", "4294967295"},
         withRecord(original_, "README.TXT", 0xFFFFFFFE, 0xFFFFFFFF)},
        {{"dummy", image_, "/DOCS/LICENSE.TXT"},
         withBytesAt(original_, licence, std::vector<uint8_t>(34))},
        {{"overwrite", image_, "/DOCS/LICENSE.TXT", folder_.file("short.txt")},
         withBytesAt(original_, licence, shortened)},
    };
    for (const auto& edit : cases) {
        const auto run = runCli(edit.arguments);
        EXPECT_EQ(run.status, 0) << edit.arguments[0] << ": " << run.err;
        EXPECT_EQ(readFileBytes(image_), edit.after) << edit.arguments[0];
        const auto undone = runCli({"undo", image_});
        EXPECT_TRUE(undone.out.starts_with("Undone: ")) << undone.out << undone.err;
        EXPECT_EQ(readFileBytes(image_), original_) << edit.arguments[0];
    }
}

TEST_F(CliEdits, RefusesHostileArgumentsWritingNothing) {
    const std::string folder = folder_.path().string();
    const auto garbage = folder_.file("garbage.json");
    writeFileBytes(garbage, {0xFF, '{', 0x00, '[', '"'});
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* said;
    } cases[] = {
        {{"ls", folder_.file("missing.iso")}, 1, "No such file"},
        {{"ls", folder}, 1, folder.c_str()},
        {{"dummy", image_, "/DATA/MISSING.BIN"}, 1, "MISSING.BIN"},
        {{"dummy", image_, "/NO/WHERE.BIN"}, 1, "NO"},
        {{"dummy", image_, "/DATA"}, 1, "is a directory"},
        {{"set-record", image_, "/README.TXT", "--lba", "-1"}, 2, "-1"},
        {{"set-record", image_, "/README.TXT", "--size", "-5"}, 2, "-5"},
        {{"set-record", image_, "/README.TXT", "--size", "99999999999999999999"}, 2, "outside"},
        {{"set-record", image_, "/README.TXT", "--lba", "0x1F"}, 2, "not a decimal number"},
        {{"set-record", image_, "/README.TXT"}, 2, "--lba"},
        {{"whois", image_, "-5"}, 2, "-5"},
        {{"ls", image_, "--layer", "1"}, 1, "no second layer"},
        {{"overwrite", image_, "/README.TXT", folder_.file("missing")}, 1, "missing"},
        {{"apply", image_, garbage}, 1, "not JSON"},
        {{"apply", image_, folder}, 1, "not a file"},
        {{"apply", image_, garbage, "--no-undo"}, 2, "--no-undo"},
        {{"frobnicate", image_}, 2, ""},
    };
    for (const auto& refused : cases) {
        const auto run = runCli(refused.arguments);
        EXPECT_EQ(run.status, refused.status) << refused.arguments[0] << ": " << run.err;
        EXPECT_NE(run.err.find(refused.said), std::string::npos) << run.err;
        EXPECT_EQ(readFileBytes(image_), original_) << refused.arguments[0];
    }
}

// Under a file size limit (ulimit -f) a write past it fails instead of killing the program.
// /MOVIES/INTRO.STR is 600000 bytes at 118, so a Dummy writes its data up to the limit.
TEST_F(CliEdits, AWritePastTheFileSizeLimitFailsAndIsPutBackWithUndo) {
    const uint64_t limit = 200 * 2048;
    const uint64_t intro = 118 * 2048;
    const struct {
        std::vector<std::string> arguments;
        std::string said;
        std::vector<uint8_t> after;
    } cases[] = {
        {{"dummy", image_, "/MOVIES/INTRO.STR"},
         "INTRO.STR: Cannot write to " + image_ +
             ": File too large; what was written was put back, so INTRO.STR's data was left as "
             "it was",
         original_},
        {{"dummy", image_, "/MOVIES/INTRO.STR", "--no-undo"},
         "INTRO.STR: Cannot write to " + image_ +
             ": File too large; without undo, what was written of INTRO.STR's data before the "
             "failure stays",
         withBytesAt(original_, intro, std::vector<uint8_t>(limit - intro))},
    };
    for (const auto& edit : cases) {
        const auto run = runCli(edit.arguments, limit);
        EXPECT_EQ(run.status, 1) << edit.arguments.back() << ": " << run.err;
        EXPECT_NE(run.err.find(edit.said), std::string::npos) << run.err;
        EXPECT_EQ(readFileBytes(image_), edit.after) << edit.arguments.back();
    }
}

TEST_F(CliEdits, APlanAppliesAllOrNothingAndPreviewsWhatItWrites) {
    std::vector<std::string> edits = {
        R"({"op": "relink", "master": "/DATA/STRINGS.DAT", "files": ["/README.TXT"]})",
        R"({"op": "dummy", "files": ["/DOCS/LICENSE.TXT"]})",
        R"({"op": "overwrite", "file": "/KESTREL.CFG", "replacement": ")" +
            folder_.file("short.txt") + R"("})",
        // Checked before any edit, its data lies in the image; the edit before moves it out.
        R"({"op": "set-record", "file": "/DATA/CONFIG.INI", "lba": 4000000})",
        R"({"op": "dummy", "files": ["/DATA/CONFIG.INI"]})",
    };
    auto failed = runCli({"apply", image_, plan(edits)});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("edit 5 (dummy /DATA/CONFIG.INI)"), std::string::npos) << failed.err;
    EXPECT_EQ(readFileBytes(image_), original_);

    edits.pop_back();
    const Json preview =
        jsonOf(runCli({"apply", image_, plan(edits), "--dry-run", "--json"}), "apply");
    EXPECT_EQ(readFileBytes(image_), original_);
    ASSERT_EQ(runCli({"apply", image_, plan(edits)}).status, 0);
    const auto applied = readFileBytes(image_);
    expectChangesPreviewed(preview.at("changes"), original_, applied);
    EXPECT_NE(applied, original_);
    EXPECT_EQ(runCli({"undo", image_}).out, "Undone: Plan of 4 edits, 63 bytes\n");
    EXPECT_EQ(readFileBytes(image_), original_);
}

// Each edit finds its file as the edits before it left it: a second set-record keeps the LBA
// the first gave, and once a Dummy has blanked /DATA's sector (22), where the first edit
// pointed STRINGS.DAT, CONFIG.INI is no longer found there.
TEST_F(CliEdits, APlansEditsFindTheirFilesAsTheEditsBeforeLeftThem) {
    ASSERT_EQ(runCli({"apply", image_,
                      plan({R"({"op": "set-record", "file": "/DATA/CONFIG.INI", "lba": 40})",
                            R"({"op": "set-record", "file": "/DATA/CONFIG.INI", "size": 9})"})})
                  .status,
              0);
    EXPECT_EQ(readFileBytes(image_), withRecord(original_, "CONFIG.INI", 40, 9));
    ASSERT_EQ(runCli({"undo", image_}).status, 0);

    const auto failed = runCli(
        {"apply", image_,
         plan({R"({"op": "set-record", "file": "/DATA/STRINGS.DAT", "lba": 22, "size": 2048})",
               R"({"op": "dummy", "files": ["/DATA/STRINGS.DAT"], "force": true})",
               R"({"op": "set-record", "file": "/DATA/CONFIG.INI", "size": 9})"})});
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("edit 3 (set-record /DATA/CONFIG.INI): CONFIG.INI is no longer in "
                              "its directory"),
              std::string::npos)
        << failed.err;
    EXPECT_EQ(readFileBytes(image_), original_);
}

// An edit on the second volume of a dual-layer image is listed there, leaves the first volume's
// listing alone and undoes to the original bytes.
TEST(CliDualLayer, EditsTheSecondVolumeAndUndoesIt) {
    TempDir folder;
    const std::string image = folder.file("dual.iso");
    ASSERT_EQ(runProgram(KESTREL_MKIMAGE, {"--layout", "dual", image}).status, 0);
    const auto original = readFileBytes(image);
    const auto layer0 = runCli({"ls", image, "-R"}).out;

    const auto edited =
        runCli({"set-record", image, "/LAYER1.TXT", "--lba", "300", "--size", "5", "--layer", "1"});
    ASSERT_EQ(edited.status, 0) << edited.err;
    const Json listed =
        jsonOf(runCli({"ls", image, "/LAYER1.TXT", "--layer", "1", "--json"}), "ls");
    const Json& file = listed.at("listing").at(0).at("files").at(0);
    EXPECT_EQ(file.at("lba"), 300);
    EXPECT_EQ(file.at("size"), 5);
    EXPECT_EQ(runCli({"ls", image, "-R"}).out, layer0);
    EXPECT_NE(readFileBytes(image), original);

    EXPECT_EQ(runCli({"undo", image}).status, 0);
    EXPECT_EQ(readFileBytes(image), original);
}

TEST(CliOutput, PrintsVersionListingAndSectorOwners) {
    TempDir folder;
    const std::string image = folder.file("sample.iso");
    ASSERT_EQ(runProgram(KESTREL_MKIMAGE, {"--layout", "cd", image}).status, 0);
    const struct {
        std::vector<std::string> arguments;
        std::string out;
    } cases[] = {
        {{"--version"}, "kestrel-cli " KESTREL_VERSION "\n"},
        {{"ls", image, "/DATA/CONFIG.INI"},
         "Name                     LBA       Size  Date                 Sectors  Long name\n"
         "CONFIG.INI                28         31  Novemeber 20, 2002         1  \n"},
        {{"whois", image, "16", "18", "30", "5000"},
         "16\tdescriptors\tvolume descriptors\n18\tgap\tgap\n30\tfile\t/DATA/STRINGS.DAT\n"
         "5000\tbeyond\tbeyond the volume and every extent\n"},
    };
    for (const auto& printed : cases) {
        const auto run = runCli(printed.arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, printed.out);
    }
}

}  // namespace
}  // namespace kestrel::test
