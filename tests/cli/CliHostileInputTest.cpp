// kestrel-cli on crafted images and inputs: names that hold control bytes, links planted in
// the output folder at every depth, plans a strict reader must refuse. Whatever the case, no
// control byte reaches stdout or stderr, nothing is written outside the output folder, a
// refusal names its cause, and the image keeps every byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "CliRun.h"
#include "support/Images.h"
#include "support/RepeatingImages.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;

const std::string kEscapeName = "A\x1b[2JAAA.BIN";
const std::string kDummyPlan = R"({"op": "dummy", "files": ["/DATA/INNER.BIN"]})";

std::vector<uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

// The root holds names with an escape sequence, a line break and a zero byte, and a folder
// whose name ends in an escape; /DATA/DEEP/LOW.BIN lies two folders down.
void writeImage(const std::string& path) {
    IsoBuilder builder(Layout::CdRomXa, "LABEL\x1b[31m");
    builder.addFile(IsoBuilder::kRoot, fileAt(kEscapeName + ";1", 40, 7, bytesOf("escape\n")));
    builder.addFile(IsoBuilder::kRoot, fileAt("NEW\nLINE.TXT;1", 41, 8, bytesOf("newline\n")));
    builder.addFile(IsoBuilder::kRoot, fileAt(std::string("Z\0Z.BIN;1", 9), 42, 5, {}));
    const int data = builder.addDirectory(IsoBuilder::kRoot, "DATA");
    builder.addFile(data, fileAt("INNER.BIN;1", 43, 6, bytesOf("inner\n")));
    builder.addFile(builder.addDirectory(data, "DEEP"),
                    fileAt("LOW.BIN;1", 44, 4, bytesOf("low\n")));
    builder.addFile(builder.addDirectory(IsoBuilder::kRoot, "ESC\x1b"),
                    fileAt("IN.BIN;1", 45, 3, bytesOf("in\n")));
    builder.writeTo(path);
}

struct HostileCase {
    const char* name;
    // Run in order; {image}, {out}, {plan} and {elsewhere} stand for their paths, also in
    // `said`. The output folder {out} is there and empty; {elsewhere} is beside it.
    std::vector<std::vector<std::string>> runs;
    int status;                     // the last run's
    std::vector<std::string> said;  // each on stdout or stderr
    // The regular files below {out} after the runs, by path, with their bytes.
    std::map<std::string, std::string> written = {};
    std::string plan = {};
    std::function<void(const fs::path& out, const fs::path& elsewhere)> plant = {};
};

void PrintTo(const HostileCase& hostile, std::ostream* out) {
    *out << hostile.name;
}

void link(const fs::path& target, const fs::path& at) {
    fs::create_directories(at.parent_path());
    fs::create_symlink(target, at);
}

const std::vector<HostileCase> kCases = {
    {"ListShowsControlBytesEscaped",
     {{"ls", "-R", "{image}"}},
     0,
     {"A\\x1b[2JAAA.BIN ", "NEW\\nLINE.TXT ", "Z\\x00Z.BIN ", "ESC\\x1b/", "/ESC\\x1b:"}},
    {"JsonKeepsTheNamesBytes", {{"ls", "--json", "{image}"}}, 0, {"\"A\\u001b[2JAAA.BIN\""}},
    {"MapWhoisAndInfoShowThemEscaped",
     {{"map", "{image}"}, {"whois", "{image}", "41"}, {"info", "{image}"}},
     0,
     {"/A\\x1b[2JAAA.BIN", "41\tfile\t/NEW\\nLINE.TXT", "LABEL\\x1b[31m"}},
    {"AnErrorQuotesTheNameEscaped",
     {{"ls", "{image}", "/NO\x1b]0;owned\x07"}},
     1,
     {"/NO\\x1b]0;owned\\x07"}},
    {"AnUndoOfAnEditOnSuchANameSaysItEscaped",
     {{"dummy", "{image}", "/" + kEscapeName}, {"undo", "--list", "{image}"}, {"undo", "{image}"}},
     0,
     {"Dummy of A\\x1b[2JAAA.BIN"}},
    {"ExtractionWritesControlBytesAsUnderscoresAndSaysSo",
     {{"extract", "-r", "-o", "{out}", "{image}", "/"}},
     1,
     {"Z\\x00Z.BIN: its name is not one", "A\\x1b[2JAAA.BIN as {out}/A_[2JAAA.BIN",
      "ESC\\x1b as {out}/ESC_"},
     {{"A_[2JAAA.BIN", "escape\n"},
      {"NEW_LINE.TXT", "newline\n"},
      {"DATA/INNER.BIN", "inner\n"},
      {"DATA/DEEP/LOW.BIN", "low\n"},
      {"ESC_/IN.BIN", "in\n"}}},
    {"ALinkInPlaceOfAFolderIsNotFollowed",
     {{"extract", "-r", "-o", "{out}", "{image}", "/DATA"}},
     1,
     {"Cannot extract into {out}/DATA: a symbolic link of that name is in the way"},
     {},
     "",
     [](const fs::path& out, const fs::path& elsewhere) { link(elsewhere, out / "DATA"); }},
    {"ALinkInPlaceOfAFolderTwoDownIsNotFollowed",
     {{"extract", "-r", "-o", "{out}", "{image}", "/DATA"}},
     1,
     {"Cannot extract into {out}/DATA/DEEP: a symbolic link of that name is in the way"},
     {{"DATA/INNER.BIN", "inner\n"}},
     "",
     [](const fs::path& out, const fs::path& elsewhere) {
         link(elsewhere, out / "DATA" / "DEEP");
     }},
    {"ALinkInPlaceOfAFileIsNotFollowed",
     {{"extract", "-r", "-o", "{out}", "{image}", "/DATA"}},
     1,
     {"Cannot create {out}/DATA/DEEP/LOW.BIN: a symbolic link of that name is in the way"},
     {{"DATA/INNER.BIN", "inner\n"}},
     "",
     [](const fs::path& out, const fs::path& elsewhere) {
         link(elsewhere / "LOW.BIN", out / "DATA" / "DEEP" / "LOW.BIN");
     }},
    {"AMissingOutputFolderIsMade",
     {{"extract", "-o", "{out}/new", "{image}", "/DATA/INNER.BIN"}},
     0,
     {"Selected Files Extracted"},
     {{"new/INNER.BIN", "inner\n"}}},
    {"AnOutputFolderWhoseParentIsMissingIsRefused",
     {{"extract", "-o", "{out}/no/new", "{image}", "/DATA/INNER.BIN"}},
     1,
     {"Cannot make the folder {out}/no/new in {out}/no: No such file or directory"}},
    {"AMissingOutputFolderWhoseNameIsALinkIsRefused",
     {{"extract", "-o", "{out}/new", "{image}", "/DATA/INNER.BIN"}},
     1,
     {"Cannot extract into {out}/new: a symbolic link of that name is in the way"},
     {},
     "",
     [](const fs::path& out, const fs::path& elsewhere) { link(elsewhere / "new", out / "new"); }},
    {"APlanWithAKeyTwiceIsRefused",
     {{"apply", "{image}", "{plan}"}},
     1,
     {"the plan has \"files\" twice in the object at /edits/0"},
     {},
     R"({"plan": 1, "edits": [{"op": "dummy", "files": ["/A"], "files": ["/DATA/INNER.BIN"]}]})"},
    {"APlanWithBytesAfterAZeroByteIsRefused",
     {{"apply", "{image}", "{plan}"}},
     1,
     {"the plan holds a zero byte at byte offset 69"},
     {},
     R"({"plan": 1, "edits": [)" + kDummyPlan + std::string("]}\0{\"plan\": 2}", 14)},
    {"APlanWithBytesAfterItsEndIsRefused",
     {{"apply", "{image}", "{plan}"}},
     1,
     {"the plan goes on after its end, at byte offset 71"},
     {},
     R"({"plan": 1, "edits": [)" + kDummyPlan + "]}\n x"},
    {"APlanWithANumberOutOfRangeSaysSo",
     {{"apply", "{image}", "{plan}"}},
     1,
     {"the plan's number 1e400 at /edits/0/lba is out of range"},
     {},
     R"({"plan": 1, "edits": [{"op": "set-record", "file": "/DATA/INNER.BIN", "lba": 1e400}]})"},
};

std::string replaced(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
        for (size_t at; (at = text.find(name)) != std::string::npos;) {
            text.replace(at, name.size(), value);
        }
    }
    return text;
}

// Line breaks and whois's tabs are the only control bytes a run may print.
std::string firstControlByteIn(const std::string& text) {
    for (size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<uint8_t>(text[at]);
        const bool c1 = byte == 0xC2 && at + 1 < text.size() &&
                        static_cast<uint8_t>(text[at + 1]) >= 0x80 &&
                        static_cast<uint8_t>(text[at + 1]) <= 0x9F;
        if ((byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7F || c1) {
            return text.substr(at > 20 ? at - 20 : 0, 40);
        }
    }
    return "";
}

// Every regular file below `folder`, by its path there, with its bytes; links are not
// followed.
std::map<std::string, std::string> filesBelow(const fs::path& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file() && !entry.is_symlink()) {
            const auto bytes = readFileBytes(entry.path().string());
            files[fs::relative(entry.path(), folder).string()] = {bytes.begin(), bytes.end()};
        }
    }
    return files;
}

std::vector<fs::path> entriesBelow(const fs::path& folder, const fs::path& except) {
    std::vector<fs::path> entries;
    for (auto entry = fs::recursive_directory_iterator(folder); entry != end(entry); ++entry) {
        if (entry->path() == except) {
            entry.disable_recursion_pending();
            continue;
        }
        entries.push_back(entry->path());
    }
    return entries;
}

class CliHostileInput : public ::testing::TestWithParam<HostileCase> {};

TEST_P(CliHostileInput, PrintsNoControlByteWritesOnlyIntoItsFolderAndKeepsTheImage) {
    const HostileCase& hostile = GetParam();
    const TempDir folder;
    const fs::path out = folder.path() / "out";
    const fs::path elsewhere = folder.path() / "elsewhere";
    fs::create_directories(out);
    fs::create_directories(elsewhere);
    const std::map<std::string, std::string> paths = {{"{image}", folder.file("image.iso")},
                                                      {"{out}", out.string()},
                                                      {"{plan}", folder.file("plan.json")},
                                                      {"{elsewhere}", elsewhere.string()}};
    writeImage(paths.at("{image}"));
    writeFileBytes(paths.at("{plan}"), bytesOf(hostile.plan));
    if (hostile.plant) {
        hostile.plant(out, elsewhere);
    }
    const auto image = readFileBytes(paths.at("{image}"));
    const auto around = entriesBelow(folder.path(), out);

    CliRun run;
    std::string printed;
    for (const auto& arguments : hostile.runs) {
        std::vector<std::string> given;
        for (const auto& argument : arguments) {
            given.push_back(replaced(argument, paths));
        }
        run = runCli(given);
        printed += run.out + run.err;
        EXPECT_EQ(firstControlByteIn(run.out + run.err), "") << arguments[0];
    }
    EXPECT_EQ(run.status, hostile.status) << printed;
    for (const auto& said : hostile.said) {
        EXPECT_NE(printed.find(replaced(said, paths)), std::string::npos)
            << replaced(said, paths) << "\nnot in:\n"
            << printed;
    }
    EXPECT_EQ(readFileBytes(paths.at("{image}")), image);
    EXPECT_EQ(entriesBelow(folder.path(), out), around) << "written outside " << out;
    EXPECT_EQ(filesBelow(out), hostile.written);
}

INSTANTIATE_TEST_SUITE_P(Cases, CliHostileInput, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

size_t timesIn(const std::string& text, const std::string& part) {
    size_t times = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++times;
    }
    return times;
}

// Where these took minutes and gigabytes, or were killed, each command now reads every
// directory extent once: ls shows each repeat as the same as the first path that reached its
// extent and lists it nowhere again, map maps each record once, and extract -r writes each
// file once and says how many directories it skipped as repeats.
class CliRepeatingImage : public ::testing::TestWithParam<RepeatingImage> {};

TEST_P(CliRepeatingImage, EachCommandReadsEachDirectoryOnceInMemoryThatFollowsTheImage) {
    const RepeatingImage& crafted = GetParam();
    if (crafted.write == writeRootNamedAgainAndAgain && !haveCommand("genisoimage")) {
        GTEST_SKIP() << "genisoimage is not installed";
    }
    const TempDir folder;
    const std::string image = folder.file("image.iso");
    crafted.write(image);
    const std::string out = folder.file("out");
    std::map<std::string, CliRun> runs;
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"ls", "-R", image},
                                                      {"ls", "-R", "--json", image},
                                                      {"map", "--json", image},
                                                      {"whois", image, "16"},
                                                      {"extract", "-r", "-o", out, image, "/"}}) {
        const auto& run = runs[arguments[0] + (arguments[2] == "--json" ? " --json" : "")] =
            runCli(arguments);
        SCOPED_TRACE(arguments[0]);
        EXPECT_EQ(run.status, 0) << run.err;
        // About 80 MB where these once held gigabytes; generous, as a sanitizer build holds
        // twice the memory. Their time is measured by bench/, not here.
        EXPECT_LT(run.peakKilobytes, 512 * 1024);
    }

    EXPECT_EQ(timesIn(runs["ls"].out, " same as /"), crafted.repeats);
    const auto listing = runs["ls --json"].json().at("listing");
    EXPECT_EQ(listing.size(), crafted.distinctDirectories);
    size_t files = 0;
    size_t repeats = 0;
    for (const auto& directory : listing) {
        files += directory.at("files").size();
        for (const auto& subdirectory : directory.at("directories")) {
            repeats += subdirectory.contains("sameAs");
        }
    }
    EXPECT_EQ(files, crafted.rows);
    EXPECT_EQ(repeats, crafted.repeats);

    size_t mapped = 0;
    const auto map = runs["map"].json();
    for (const auto& extent : map.at("extents")) {
        if (extent.contains("files")) {
            mapped += extent.at("files").size();
        }
    }
    EXPECT_EQ(mapped, crafted.rows);

    size_t written = 0;
    for (const auto& entry : fs::recursive_directory_iterator(out)) {
        written += entry.is_regular_file();
    }
    EXPECT_EQ(written, crafted.rows);
    const std::string skipped =
        std::to_string(crafted.repeats) + " directories were skipped as repeats of others: /R";
    EXPECT_EQ(timesIn(runs["extract"].out, skipped), crafted.repeats > 0 ? 1u : 0u)
        << runs["extract"].out;
}

INSTANTIATE_TEST_SUITE_P(Images, CliRepeatingImage, ::testing::ValuesIn(kRepeatingImages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel::test
