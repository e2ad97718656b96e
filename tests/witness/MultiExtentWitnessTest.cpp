// A file of several extents, written small by the builder (makers write one only above 4 GiB),
// read by xorriso and 7z, which both follow chains of multi-extent records: they must see the
// extents, size and bytes this editor sees.
#include <gtest/gtest.h>

#include <ranges>
#include <regex>
#include <sstream>

#include "ops/Extraction.h"
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

}  // namespace
}  // namespace kestrel
