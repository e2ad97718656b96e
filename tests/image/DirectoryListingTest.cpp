#include "image/DirectoryListing.h"

#include <gtest/gtest.h>

#include "ops/SessionFixtures.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

class DirectoryListingTest : public SessionTest {
protected:
    size_t rowCount(DirectoryNumber directory) {
        auto session = openSession(image, copy);
        return listedNames(session, directory).size();
    }

    IsoBuilder builder{Layout::CdRomXa, "DISC"};
};

TEST_F(DirectoryListingTest, ListsPlainFilesLastRecordFirstAndFindsEachByItsExactName) {
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    const std::string longName = "A_FILE_NAME_WELL_BEYOND_NINETEEN_BYTES.DATA";
    for (const auto& file :
         {recordOnly("HIDDEN.TXT;1", 60, 1, 1), recordOnly("README.TXT;1", 50, 12, 0, {103, 2, 3}),
          recordOnly("readme.txt;1", 51, 13), recordOnly("BIG.BIN;1", 0x80000000u, 0x80000000u),
          recordOnly("LATE.DAT;1", 40, 7, 0, {126, 11, 30}),
          recordOnly("A", 31, 1, 0, {255, 13, 31}), recordOnly(";1", 32, 1, 0, {103, 0, 3}),
          recordOnly(longName + ";1", 33, 1), recordOnly("HIDDEN.TXT;1", 43, 3)}) {
        builder.addFile(IsoBuilder::kRoot, file);
    }
    builder.setVolumeSectors(100);
    builder.writeTo(image);
    auto session = openSession(image, copy);
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
// first sector whatever "." says, later ones as far as "." reaches, none behind an empty one,
// and no record that runs into the next sector.
TEST_F(DirectoryListingTest, TheWalkEndsWhereTheDotRecordAnEmptySectorOrACrossingRecordEndsIt) {
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
    // The first sector's last record may reach its end; one byte more runs into the next
    // sector, and the walk ends before it.
    const auto last = builder.recordOffset(data, identifier(int(inFirstSector) - 1));
    const auto left = static_cast<uint8_t>(dot + 2048 - last);
    overwriteBytes(image, last, {left});
    EXPECT_EQ(rowCount(data), 50u);
    overwriteBytes(image, last, {uint8_t(left + 1)});
    overwriteBytes(image, last + 32, {uint8_t(left + 1 - 33)});
    EXPECT_EQ(rowCount(data), inFirstSector - 1);

    builder.writeTo(image);
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

}  // namespace
}  // namespace kestrel
