#include "image/DirectoryListing.h"

#include <gtest/gtest.h>

#include "app/DirectoryItems.h"
#include "ops/SessionFixtures.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

class DirectoryListingTest : public ::testing::Test {
protected:
    // A session on the image, written first when it is not yet.
    Session open() {
        if (!std::filesystem::exists(image)) {
            builder.writeTo(image);
        }
        return openSession(image, dir.file("copy"));
    }

    size_t rowCount(DirectoryNumber directory) {
        auto session = open();
        return listedNames(session, directory).size();
    }

    FileSpec dated(std::string identifier, uint32_t lba, uint32_t size,
                   isobuilder::RecordDate date) {
        auto file = recordOnly(std::move(identifier), lba, size);
        file.date = date;
        return file;
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    IsoBuilder builder{Layout::CdRomXa, "DISC"};
};

TEST_F(DirectoryListingTest, ListsPlainFilesLastRecordFirstAndFindsEachByItsExactName) {
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    const std::string longName = "A_FILE_NAME_WELL_BEYOND_NINETEEN_BYTES.DATA";
    for (const auto& file :
         {recordOnly("HIDDEN.TXT;1", 60, 1, 1), dated("README.TXT;1", 50, 12, {103, 2, 3}),
          recordOnly("readme.txt;1", 51, 13), recordOnly("BIG.BIN;1", 0x80000000u, 0x80000000u),
          dated("LATE.DAT;1", 40, 7, {126, 11, 30}), dated("A", 31, 1, {255, 13, 31}),
          dated(";1", 32, 1, {103, 0, 3}), recordOnly(longName + ";1", 33, 1),
          recordOnly("HIDDEN.TXT;1", 43, 3)}) {
        builder.addFile(IsoBuilder::kRoot, file);
    }
    builder.setVolumeSectors(100);
    auto session = open();
    const auto listing = session.listDirectory(IsoBuilder::kRoot);
    ASSERT_TRUE(listing);
    std::vector<std::string> rows;
    for (const auto& row : listing->rows) {
        rows.push_back(row.name + "|" + row.lba + "|" + row.size + "|" + row.dateModified);
    }
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "HIDDEN.TXT|43|3|Febuary 3, 2003", longName + "|33|1|Febuary 3, 2003",
                        "|32|1|Unknown 3, 2003", "A|31|1|Unknown 31, 2155",
                        "LATE.DAT|40|7|Novemeber 30, 2026",
                        "BIG.BIN|-2147483648|2147483648|Febuary 3, 2003",
                        "readme.txt|51|13|Febuary 3, 2003", "README.TXT|50|12|Febuary 3, 2003"}));
    // The first record read, though no row, is where a layer-1 copy ends.
    EXPECT_EQ(listing->firstRecordLba, builder.directoryLba(docs));

    // Found again: the first listed record whose name is exactly the row's.
    for (const auto& [name, lba] : std::vector<std::pair<std::string, uint32_t>>{
             {"README.TXT", 50}, {"readme.txt", 51}, {"", 32}, {"A", 31}, {"HIDDEN.TXT", 43}}) {
        const auto found = session.findRecord(IsoBuilder::kRoot, name);
        ASSERT_TRUE(found) << name;
        EXPECT_EQ(found->extentLba, lba) << name;
    }
    EXPECT_EQ(session.findRecord(IsoBuilder::kRoot, "readme.txt")->recordOffset,
              builder.recordOffset(IsoBuilder::kRoot, "readme.txt;1"));
    for (const std::string absent : {"DOCS", "README.TX", "README.TXT;1", "Readme.txt"}) {
        const auto missing = session.findRecord(IsoBuilder::kRoot, absent);
        ASSERT_FALSE(missing) << absent;
        EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);
        EXPECT_NE(missing.error().message.find(absent), std::string::npos);
    }
    for (const DirectoryNumber none : {0u, 3u, 99u}) {
        const auto nothing = session.listDirectory(none);
        ASSERT_TRUE(nothing);
        EXPECT_TRUE(nothing->rows.empty() && !nothing->firstRecordLba);
        EXPECT_EQ(session.findRecord(none, "README.TXT").error().kind, ErrorKind::NotFound);
    }
}

// DATA's fifty records fill two sectors and a stray one starts the third. The walk reads the
// first sector whatever "." says, later ones as far as "." reaches, none behind an empty one.
TEST_F(DirectoryListingTest, TheWalkEndsWhereTheDotRecordOrAnEmptySectorEndsIt) {
    const int data = builder.addDirectory(IsoBuilder::kRoot, "DATA");
    const auto identifier = [](int i) { return "F" + std::to_string(i) + "_LONGER_NAME.DAT;1"; };
    for (int i = 0; i < 50; ++i) {
        builder.addFile(data, recordOnly(identifier(i), 100, 1));
    }
    builder.setMinimumDirectorySectors(data, 3);
    builder.writeTo(image);
    const uint64_t dot = uint64_t{builder.directoryLba(data)} * 2048;
    ASSERT_LT(builder.recordOffset(data, identifier(49)), dot + 2 * 2048);
    size_t inFirstSector = 0;
    while (builder.recordOffset(data, identifier(int(inFirstSector))) < dot + 2048) {
        ++inFirstSector;
    }
    auto stray = readBytesAt(image, builder.recordOffset(data, identifier(0)), 68);
    stray.replace(33, 2, "ST");
    overwriteBytes(image, dot + 2 * 2048, Bytes(stray.begin(), stray.end()));

    for (const auto& [size, rows] :
         std::vector<std::pair<Bytes, size_t>>{{{0x00, 0x18, 0, 0}, 51},  // three sectors
                                               {{0x00, 0x08, 0, 0}, inFirstSector},
                                               {{0x01, 0, 0, 0}, inFirstSector},
                                               {{0xFF, 0xFF, 0xFF, 0xFF}, 51}}) {
        SCOPED_TRACE(rows);
        overwriteBytes(image, dot + 10, size);
        EXPECT_EQ(rowCount(data), rows);
    }
    overwriteBytes(image, dot + 2048, Bytes(2048, 0));
    EXPECT_EQ(rowCount(data), inFirstSector);
}

TEST_F(DirectoryListingTest, ADirectoryBeyondFourGiBIsListedAndItsRecordsFound) {
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    builder.addFile(docs, recordOnly("FAR.TXT;1", 3, 4));
    builder.setVolumeSectors(3'000'010);
    builder.writeTo(image);
    // Move DOCS to sector 3,000,000, about 6.1 GB into the image.
    const uint64_t to = uint64_t{3'000'000} * 2048;
    const auto sector = readBytesAt(image, uint64_t{builder.directoryLba(docs)} * 2048, 2048);
    overwriteBytes(image, to, Bytes(sector.begin(), sector.end()));
    overwriteBytes(image, 19 * 2048 + 10 + 2, {0xC0, 0xC6, 0x2D, 0x00});  // its path-table extent

    auto session = open();
    EXPECT_EQ(listedNames(session, docs), Rows{"FAR.TXT"});
    auto found = session.findRecord(docs, "FAR.TXT");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->recordOffset, to + 96);
}

TEST(DirectoryItems, TheFirstMatchWinsAndTheNullItemIsDirectoryZero) {
    DirectoryItems<const void*> items;
    int root = 0;
    int child = 0;
    items.assign(1, &root);
    items.assign(2, &child);
    items.assign(5, &child);  // a stale slot behind a live one
    EXPECT_EQ(items.find(&root), 1u);
    EXPECT_EQ(items.find(&child), 2u);
    EXPECT_EQ(items.find(nullptr), 0u);
    int unknown = 0;
    EXPECT_EQ(items.find(&unknown), 0u);
    items.clear();
    EXPECT_EQ(items.find(&root), 0u);
}

}  // namespace
}  // namespace kestrel
