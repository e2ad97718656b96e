// The builder is the tests' source of images, so isoinfo and xorriso judge what it writes:
// both layouts, record packing, a sparse image past 4 GiB, and a dual-layer image.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel::isobuilder {

void PrintTo(Layout layout, std::ostream* out) {
    *out << (layout == Layout::Dvd ? "Dvd" : "CdRomXa");
}

namespace {

using namespace kestrel::test;
using namespace std::string_literals;

uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;) {
        value = value << 8 | static_cast<uint8_t>(bytes.at(at + i));
    }
    return value;
}

std::string run(const std::string& command) {
    return commandOutput(command + " 2>&1").value_or("failed");
}

struct ExpectedFile {
    int directory;
    std::string path;  // as isoinfo shows it
    uint32_t size;
    const char* date;  // as isoinfo shows it
};

const ExpectedFile kFiles[] = {
    {1, "/README.TXT;1", 21, "Feb  3 2003"},
    {2, "/DOCS/MANUAL.TXT;1", 9000, "Nov 20 2002"},
    {4, "/DATA/LEVELS/BONUS_STAGE_ONE.MAP;1", 3, "Jan 31 1999"},
    {3, "/DATA/PLACED.BIN;1", 2048, "Dec 24 2004"},
};

class Witness : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override {
        if (!haveCommand("isoinfo") || !haveCommand("xorriso")) {
            GTEST_SKIP() << "isoinfo (package genisoimage) and xorriso are not installed";
        }
        const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
        const int data = builder.addDirectory(IsoBuilder::kRoot, "DATA");
        const int levels = builder.addDirectory(data, "LEVELS");
        builder.addFile(IsoBuilder::kRoot, textFile("README.TXT;1", "Kestrel witness test\n"));
        FileSpec manual = textFile("MANUAL.TXT;1", "manual", {102, 11, 20, 12, 0, 0, 0});
        manual.size = 9000;
        builder.addFile(docs, manual);
        builder.addFile(levels, textFile("BONUS_STAGE_ONE.MAP;1", "map", {99, 1, 31, 12, 0, 0, 0}));
        FileSpec placed = textFile("PLACED.BIN;1", "placed", {104, 12, 24, 12, 0, 0, 0});
        placed.size = 2048;
        placed.lba = 900;
        builder.addFile(data, placed);
        builder.writeTo(image);
    }

    uint32_t recordedLba(const ExpectedFile& file) const {
        const std::string name = file.path.substr(file.path.rfind('/') + 1);
        return le32(readBytesAt(image, builder.recordOffset(file.directory, name), 6), 2);
    }

    TempDir dir;
    std::string image = dir.file("witness.iso");
    IsoBuilder builder{GetParam(), "WITNESS"};
};

TEST_P(Witness, IsoinfoReadsTheDescriptorTheTreeAndTheContents) {
    const std::string description = run("isoinfo -d -i " + image);
    EXPECT_NE(description.find("Volume id: WITNESS\n"), std::string::npos) << description;
    EXPECT_NE(description.find("Volume size is: " + std::to_string(builder.volumeSectors())),
              std::string::npos);

    const std::string listing = run("isoinfo -l -i " + image);
    for (const ExpectedFile& expected : kFiles) {
        char line[160];
        std::snprintf(line, sizeof line, "%u %s [%7u 00]  %s \n", expected.size, expected.date,
                      recordedLba(expected),
                      expected.path.substr(expected.path.rfind('/') + 1).c_str());
        EXPECT_NE(listing.find(line), std::string::npos) << line << listing;
    }
    EXPECT_EQ(recordedLba(kFiles[3]), 900u);
    EXPECT_EQ(run("isoinfo -i " + image + " -x '/README.TXT;1'"), "Kestrel witness test\n");
    EXPECT_EQ(run("isoinfo -i " + image + " -x '/DATA/PLACED.BIN;1'").substr(0, 6), "placed");
}

TEST_P(Witness, XorrisoLoadsTheTreeWithTheSameExtentsAndNoComplaint) {
    const std::string report = run("xorriso -indev " + image + " -find / -exec report_lba --");
    EXPECT_FALSE(std::regex_search(report, std::regex("FAILURE|SORRY|WARNING"))) << report;
    for (const ExpectedFile& expected : kFiles) {
        const std::string path = expected.path.substr(0, expected.path.size() - 2);
        const std::regex line("File data lba: +0 , +" + std::to_string(recordedLba(expected)) +
                              " , +[0-9]+ , +" + std::to_string(expected.size) + " , '" + path);
        EXPECT_TRUE(std::regex_search(report, line)) << path << "\n" << report;
    }
}

INSTANTIATE_TEST_SUITE_P(BothLayouts, Witness, ::testing::Values(Layout::CdRomXa, Layout::Dvd),
                         [](const auto& info) { return ::testing::PrintToString(info.param); });

TEST(IsoBuilder, RecordsStartBehindTwo48ByteDotRecordsAndNeverCrossASector) {
    TempDir dir;
    IsoBuilder builder(Layout::Dvd, "LABEL");
    const int many = builder.addDirectory(IsoBuilder::kRoot, "MANY");
    builder.setMinimumDirectorySectors(many, 5);
    std::vector<std::string> names;
    for (int i = 0; i < 60; ++i) {  // 80-byte records, so sectors end in unused gaps
        names.push_back("FILE_WITH_A_LONGER_NAME_" + std::to_string(100 + i) + ".BIN;1");
        builder.addFile(many, textFile(names.back(), "x"));
    }
    builder.writeTo(dir.file("v.iso"));

    const uint64_t extent = uint64_t{builder.directoryLba(many)} * kSectorSize;
    const std::string bytes = readBytesAt(dir.file("v.iso"), extent, 5 * kSectorSize);
    EXPECT_EQ(bytes[0] + bytes.substr(32, 2), "\x30\1\0"s);
    EXPECT_EQ(bytes[48] + bytes.substr(48 + 32, 2), "\x30\1\1"s);
    EXPECT_EQ(le32(bytes, 10), 5 * kSectorSize);
    EXPECT_EQ(builder.recordOffset(many, names[0]), extent + 96);
    size_t seen = 0;
    for (size_t at = 0; at < bytes.size();) {
        const uint8_t length = bytes[at];
        if (length == 0) {
            at = (at / kSectorSize + 1) * kSectorSize;
            continue;
        }
        EXPECT_LE(at % kSectorSize + length, kSectorSize) << "record at " << at;
        if (seen >= 2) {
            EXPECT_EQ(builder.recordOffset(many, names[seen - 2]), extent + at);
        }
        ++seen;
        at += length;
    }
    EXPECT_EQ(seen, names.size() + 2);
}

TEST(IsoBuilder, AFileBeyondFourGiBLeavesTheGapAHole) {
    TempDir dir;
    const std::string image = dir.file("big.iso");
    IsoBuilder builder(Layout::Dvd, "BIG");
    FileSpec far = textFile("FAR.BIN;1", "beyond four gigabytes", {110, 7, 14, 9, 30, 0, 0});
    far.lba = 3'000'000;
    far.size = 5000;
    builder.addFile(IsoBuilder::kRoot, far);
    builder.writeTo(image);

    EXPECT_EQ(std::filesystem::file_size(image), 3'000'003ull * kSectorSize);
    struct stat info {};
    ASSERT_EQ(::stat(image.c_str(), &info), 0);
    EXPECT_LT(info.st_blocks * 512, 1 << 20);
    EXPECT_EQ(readBytesAt(image, 3'000'000ull * kSectorSize, 21), "beyond four gigabytes");
    if (haveCommand("isoinfo")) {
        EXPECT_NE(run("isoinfo -l -i " + image).find("5000 Jul 14 2010 [3000000 00]  FAR.BIN;1"),
                  std::string::npos);
    }
}

TEST(IsoBuilder, TheSecondLayersDescriptorFollowsLayerZero) {
    TempDir dir;
    const std::string image = dir.file("dual.iso");
    IsoBuilder layer0(Layout::Dvd, "LAYER_ZERO");
    layer0.addFile(IsoBuilder::kRoot, textFile("ZERO.TXT;1", "zero"));
    IsoBuilder layer1(Layout::Dvd, "LAYER_ONE");
    layer1.addFile(layer1.addDirectory(IsoBuilder::kRoot, "EXTRA"), textFile("ONE.TXT;1", "one"));
    EXPECT_THROW(writeDualLayer(image, layer0, layer1), std::invalid_argument);
    layer0.setVolumeSectors(layer0.volumeSectors() + 16);
    writeDualLayer(image, layer0, layer1);

    const uint64_t layer0End = uint64_t{layer0.volumeSectors()} * kSectorSize;
    const uint64_t base = layer0End - 16 * kSectorSize;
    EXPECT_EQ(std::filesystem::file_size(image), base + layer1.volumeSectors() * kSectorSize);
    EXPECT_EQ(readBytesAt(image, 16 * kSectorSize + 40, 10), "LAYER_ZERO");
    EXPECT_EQ(readBytesAt(image, layer0End, 6), "\1CD001");
    EXPECT_EQ(readBytesAt(image, layer0End + 40, 9), "LAYER_ONE");
    if (haveCommand("isoinfo")) {
        // isoinfo reads a volume from the start of a file, so it gets layer 1 on its own.
        const std::string layer1Copy = dir.file("layer1.iso");
        run("tail -c +" + std::to_string(base + 1) + " " + image + " > " + layer1Copy);
        EXPECT_NE(run("isoinfo -l -i " + layer1Copy).find("ONE.TXT;1"), std::string::npos);
    }
}

}  // namespace
}  // namespace kestrel::isobuilder
