// The core tests read the builder's images and the witness suite checks the core against
// other tools, so what is left to judge here is what only the builder does: xorriso must load
// both of its layouts without complaint, and the gap before a file beyond 4 GiB stays a hole.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <regex>

#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel::isobuilder {
namespace {

using namespace kestrel::test;

class Witness : public ::testing::TestWithParam<Layout> {};

TEST_P(Witness, XorrisoLoadsTheVolumeAndFindsEveryFileWhereItWasPlaced) {
    if (!haveCommand("xorriso")) {
        GTEST_SKIP() << "xorriso is not installed";
    }
    TempDir dir;
    const auto image = dir.file("witness.iso");
    IsoBuilder builder(GetParam(), "WITNESS");
    const int data = builder.addDirectory(IsoBuilder::kRoot, "DATA");
    const int many = builder.addDirectory(data, "MANY");
    builder.addFile(IsoBuilder::kRoot, textFile("README.TXT;1", "read me", {}, 9000));
    builder.addFile(data, fileAt("FAR.BIN;1", 3'000'000, 5000, pattern(5000, 1)));
    for (int i = 0; i < 60; ++i) {  // 80-byte records: three sectors, each ending in a gap
        builder.addFile(
            many, textFile("FILE_WITH_A_LONGER_NAME_" + std::to_string(i + 100) + ".BIN;1", "x"));
    }
    builder.writeTo(image);
    struct stat written {};
    ASSERT_EQ(::stat(image.c_str(), &written), 0);
    EXPECT_LT(written.st_blocks * 512, 1 << 20);

    const auto report =
        commandOutput("xorriso -indev " + image + " -find / -exec report_lba -- 2>&1").value_or("");
    EXPECT_FALSE(std::regex_search(report, std::regex("FAILURE|SORRY|WARNING"))) << report;
    EXPECT_NE(report.find("Volume id    : 'WITNESS'"), std::string::npos) << report;
    EXPECT_NE(report.find(" " + std::to_string(builder.volumeSectors()) + " data blocks"),
              std::string::npos);
    for (const auto& [path, lba, size] :
         {std::tuple("/README.TXT", "[0-9]+", 9000), std::tuple("/DATA/FAR.BIN", "3000000", 5000),
          std::tuple("/DATA/MANY/FILE_WITH_A_LONGER_NAME_159.BIN", "[0-9]+", 1)}) {
        const std::regex line("File data lba: +0 , +" + std::string(lba) + " , +[0-9]+ , +" +
                              std::to_string(size) + " , '" + path + "'");
        EXPECT_TRUE(std::regex_search(report, line)) << path << "\n" << report;
    }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, Witness, ::testing::Values(Layout::CdRomXa, Layout::Dvd),
                         [](const auto& info) {
                             return std::string(info.param == Layout::Dvd ? "Dvd" : "CdRomXa");
                         });

}  // namespace
}  // namespace kestrel::isobuilder
