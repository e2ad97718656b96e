// kestrel-cli on a file of several extents and on a broken chain, as the builder writes them:
// ls counts the extents where there are any, map and whois name the file for each, and record
// edits of it are refused writing nothing.
#include <gtest/gtest.h>

#include <fstream>

#include "CliRun.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel::test {
namespace {

class CliMultiExtent : public ::testing::Test {
protected:
    void SetUp() override {
        IsoBuilder builder = chainedImageBuilder();
        builder.addFile(IsoBuilder::kRoot, fileAt("BROKEN.BIN;1", 90, 2048, pattern(2048, 4),
                                                  isobuilder::kMultiExtentFlag));
        builder.addFile(IsoBuilder::kRoot, fileAt("Z.BIN;1", 80, 100, pattern(2048, 8)));
        builder.setVolumeSectors(100);
        builder.writeTo(image_);
        original_ = readFileBytes(image_);
    }

    TempDir folder_;
    std::string image_ = folder_.file("chains.iso");
    std::vector<uint8_t> original_;
};

TEST_F(CliMultiExtent, ListsMapsAndExtractsEachChainAsOneFile) {
    const auto listed = runCli({"ls", image_});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out,
              "Name                     LBA       Size  Date                 Sectors Extents  "
              "Long name\n"
              "Z.BIN                     80        100  Febuary 3, 2003            1          \n"
              "BROKEN.BIN                90       2048  Febuary 3, 2003            1       1  "
              "[chain of records broken: the record of extent 1 says another follows, but the "
              "next record is another file's]\n"
              "BIG.BIN                   60       7144  Febuary 3, 2003            4       3  \n"
              "A.TXT                     40        700  Febuary 3, 2003            1          \n");

    const auto json = runCli({"ls", image_, "/BIG.BIN", "--json"}).json();
    const auto& big = json.at("listing").at(0).at("files").at(0);
    EXPECT_EQ(big.at("size"), 7144);
    EXPECT_EQ(big.at("sectors"), 4);
    EXPECT_EQ(big.at("extents"), nlohmann::json::parse(R"([{"lba": 60, "size": 4096},
        {"lba": 50, "size": 2048}, {"lba": 70, "size": 1000}])"));

    const auto whois = runCli({"whois", image_, "60", "50", "70"});
    EXPECT_EQ(whois.out, "60\tfile\t/BIG.BIN\n50\tfile\t/BIG.BIN\n70\tfile\t/BIG.BIN\n");

    const auto out = folder_.file("out");
    const auto extracted = runCli({"extract", image_, "/BIG.BIN", "/BROKEN.BIN", "-o", out});
    EXPECT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(extracted.err,
              "kestrel-cli extract: BROKEN.BIN was written as far as its records reach, as its "
              "chain of records is broken: the record of extent 1 says another follows, but the "
              "next record is another file's\n");
    auto bigBytes = pattern(4096, 1);
    for (const auto& extent : {pattern(2048, 2), pattern(1000, 3)}) {
        bigBytes.insert(bigBytes.end(), extent.begin(), extent.end());
    }
    EXPECT_EQ(readFileBytes(out + "/BIG.BIN"), bigBytes);
    EXPECT_EQ(readFileBytes(out + "/BROKEN.BIN"), pattern(2048, 4));
    EXPECT_EQ(readFileBytes(image_), original_);
}

TEST_F(CliMultiExtent, RecordEditsOfAChainAreRefusedWritingNothing) {
    const auto plan = folder_.file("plan.json");
    std::ofstream(plan) << R"({"plan": 1, "edits": [)"
                        << R"({"op": "relink", "master": "/A.TXT", "files": ["/Z.BIN"]},)"
                        << R"({"op": "set-record", "file": "/BIG.BIN", "size": 5}]})";
    const auto masterPlan = folder_.file("master.json");
    std::ofstream(masterPlan)
        << R"({"plan": 1, "edits": [{"op": "relink", "master": "/BIG.BIN", "files": ["/Z.BIN"]}]})";
    const std::vector<std::string> refused[] = {
        {"apply", image_, plan},
        {"apply", image_, masterPlan},
        {"set-record", image_, "/BIG.BIN", "--lba", "40"},
        {"relink", image_, "--master", "/A.TXT", "--with-size", "/Z.BIN", "/BIG.BIN"},
        {"relink", image_, "--master", "/BIG.BIN", "/A.TXT"},
        {"relink", image_, "--master", "/A.TXT", "/BROKEN.BIN"},
    };
    for (const auto& arguments : refused) {
        const auto run = runCli(arguments);
        EXPECT_EQ(run.status, 1) << arguments[0];
        EXPECT_NE(run.err.find("one LBA and size cannot describe a file of several extents"),
                  std::string::npos)
            << run.err;
        EXPECT_EQ(readFileBytes(image_), original_) << arguments[0];
    }
}

}  // namespace
}  // namespace kestrel::test
