#include "image/DirectoryListing.h"

#include <gtest/gtest.h>

#include "image/Volume.h"
#include "ops/RecordPatch.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

std::vector<std::string> names(const DirectoryListing& listing) {
    std::vector<std::string> result;
    for (const auto& row : listing.rows) {
        result.push_back(row.name);
    }
    return result;
}

class DirectoryListingTest : public ::testing::Test {
protected:
    void write(const IsoBuilder& builder) {
        builder.writeTo(image);
        state.chooseImage(image);
        ASSERT_TRUE(openVolume(state));
    }

    DirectoryListing list(DirectoryNumber directory = IsoBuilder::kRoot) {
        auto listing = listDirectory(state, directory);
        EXPECT_TRUE(listing) << listing.error().message;
        return listing ? *listing : DirectoryListing{};
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    EditorState state;
    IsoBuilder builder{Layout::CdRomXa, "DISC"};
};

TEST_F(DirectoryListingTest, ListsPlainFilesInReverseRecordOrderWithTheirFourTexts) {
    auto readme = recordOnly("README.TXT;1", 50, 12);
    readme.date = {103, 2, 3};
    builder.addFile(IsoBuilder::kRoot, readme);
    builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    builder.addFile(IsoBuilder::kRoot, recordOnly("BIG.BIN;1", 0x80000000u, 0x80000000u));
    auto late = recordOnly("LATE.DAT;1", 40, 7);
    late.date = {126, 11, 30};
    builder.addFile(IsoBuilder::kRoot, late);
    builder.setVolumeSectors(100);
    write(builder);

    const auto listing = list();
    EXPECT_EQ(names(listing), (std::vector<std::string>{"LATE.DAT", "BIG.BIN", "README.TXT"}));
    EXPECT_EQ(listing.rows[0].lba, "40");
    EXPECT_EQ(listing.rows[0].dateModified, "Novemeber 30, 2026");
    EXPECT_EQ(listing.rows[1].lba, "-2147483648");
    EXPECT_EQ(listing.rows[1].size, "2147483648");
    EXPECT_EQ(listing.rows[2].lba, "50");
    EXPECT_EQ(listing.rows[2].size, "12");
    EXPECT_EQ(listing.rows[2].dateModified, "Febuary 3, 2003");
}

TEST_F(DirectoryListingTest, TheFirstRecordReadSetsTheLayerCopyLengthEvenWhenItIsSkipped) {
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    builder.addFile(IsoBuilder::kRoot, recordOnly("A.TXT;1", 60, 1));
    write(builder);

    EXPECT_EQ(names(list()), std::vector<std::string>{"A.TXT"});
    EXPECT_EQ(state.layerCopyLength, uint64_t{builder.directoryLba(docs)} * 2048);

    // No directory: nothing listed, nothing recorded.
    state.layerCopyLength = 1234;
    EXPECT_TRUE(list(0).rows.empty());
    EXPECT_TRUE(list(99).rows.empty());
    EXPECT_EQ(state.layerCopyLength, 1234u);
}

TEST_F(DirectoryListingTest, OddDatesAndIdentifiersStayInsideTheirTables) {
    auto monthZero = recordOnly("ZERO.TXT;1", 30, 1);
    monthZero.date = {103, 0, 3};
    auto monthThirteen = recordOnly("LATE.TXT;1", 30, 1);
    monthThirteen.date = {255, 13, 31};
    builder.addFile(IsoBuilder::kRoot, monthZero);
    builder.addFile(IsoBuilder::kRoot, monthThirteen);
    builder.addFile(IsoBuilder::kRoot, recordOnly("A", 30, 1));
    builder.addFile(IsoBuilder::kRoot, recordOnly(";1", 30, 1));
    const std::string longName = "A_FILE_NAME_WELL_BEYOND_NINETEEN_BYTES.DATA";
    builder.addFile(IsoBuilder::kRoot, recordOnly(longName + ";1", 30, 1));
    write(builder);

    const auto listing = list();
    EXPECT_EQ(names(listing), (std::vector<std::string>{longName, "", "", "LATE.TXT", "ZERO.TXT"}));
    EXPECT_EQ(listing.rows[3].dateModified, "Unknown 31, 2155");
    EXPECT_EQ(listing.rows[4].dateModified, "Unknown 3, 2003");
}

TEST_F(DirectoryListingTest, ADirectoryOfSeveralSectorsListsEveryFile) {
    const int data = builder.addDirectory(IsoBuilder::kRoot, "DATA");
    std::vector<std::string> expected;
    for (int i = 0; i < 150; ++i) {
        const std::string name = "FILE_NUMBER_" + std::to_string(i) + ".DAT";
        builder.addFile(data, recordOnly(name + ";1", 100 + i, 10));
        expected.insert(expected.begin(), name);
    }
    builder.setMinimumDirectorySectors(data, 6);  // zero-filled sectors at its end
    write(builder);

    EXPECT_EQ(names(list(2)), expected);
}

TEST_F(DirectoryListingTest, TheWalkEndsAtTheSizeTheDotRecordGives) {
    const int data = builder.addDirectory(IsoBuilder::kRoot, "DATA");
    for (int i = 0; i < 100; ++i) {
        builder.addFile(data, recordOnly("F" + std::to_string(i) + "_LONGER_NAME.DAT;1", 100, 1));
    }
    write(builder);
    ASSERT_GT(list(2).rows.size(), 60u);

    // "." now claims one sector: the records behind it belong to no directory.
    const uint64_t dot = uint64_t{builder.directoryLba(data)} * 2048;
    overwriteBytes(image, dot + 10, {0x00, 0x08, 0x00, 0x00});
    const auto listing = list(2);
    ASSERT_FALSE(listing.rows.empty());
    for (const auto& row : listing.rows) {
        EXPECT_LT(builder.recordOffset(data, row.name + ";1"), dot + 2048) << row.name;
    }
}

TEST_F(DirectoryListingTest, AnEmptySectorEndsTheWalkWhateverSizeTheDotRecordClaims) {
    const int data = builder.addDirectory(IsoBuilder::kRoot, "DATA");
    builder.addFile(data, recordOnly("FIRST.DAT;1", 100, 1));
    builder.setMinimumDirectorySectors(data, 3);
    write(builder);
    const uint64_t dot = uint64_t{builder.directoryLba(data)} * 2048;
    overwriteBytes(image, dot + 10, {0xFF, 0xFF, 0xFF, 0xFF});
    // A record in the third sector, behind an empty second one, belongs to no directory.
    auto stray = readBytesAt(image, builder.recordOffset(data, "FIRST.DAT;1"), 48);
    stray.replace(33, 5, "STRAY");
    overwriteBytes(image, dot + 2 * 2048, std::vector<uint8_t>(stray.begin(), stray.end()));
    EXPECT_EQ(names(list(2)), std::vector<std::string>{"FIRST.DAT"});
}

TEST_F(DirectoryListingTest, ADirectoryBeyondFourGiBIsListedAndItsRecordsFound) {
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    builder.addFile(docs, recordOnly("FAR.TXT;1", 3, 4));
    builder.setVolumeSectors(3'000'010);
    write(builder);
    // Move DOCS to sector 3,000,000, about 6.1 GB into the image.
    const uint64_t from = uint64_t{builder.directoryLba(docs)} * 2048;
    const uint64_t to = uint64_t{3'000'000} * 2048;
    const auto sector = readBytesAt(image, from, 2048);
    overwriteBytes(image, to, std::vector<uint8_t>(sector.begin(), sector.end()));
    overwriteBytes(image, 19 * 2048 + 10 + 2, {0xC0, 0xC6, 0x2D, 0x00});  // its path-table extent
    ASSERT_TRUE(openVolume(state));
    ASSERT_EQ(state.dirExtent[docs], to);

    EXPECT_EQ(names(list(docs)), std::vector<std::string>{"FAR.TXT"});
    auto found = findDirectoryRecord(state, docs, "FAR.TXT");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->recordOffset, to + 96);
}

TEST_F(DirectoryListingTest, ARecordThatIsNotWholeEndsTheWalkAndKeepsTheRowsBeforeIt) {
    builder.addFile(IsoBuilder::kRoot, recordOnly("ONE.TXT;1", 30, 1));
    builder.addFile(IsoBuilder::kRoot, recordOnly("TWO.TXT;1", 30, 1));
    builder.addFile(IsoBuilder::kRoot, recordOnly("THREE.TXT;1", 30, 1));
    write(builder);
    const uint64_t three = builder.recordOffset(IsoBuilder::kRoot, "THREE.TXT;1");
    const std::vector<std::string> firstTwo{"TWO.TXT", "ONE.TXT"};

    overwriteBytes(image, three, {20});  // shorter than any record
    EXPECT_EQ(names(list()), firstTwo);

    overwriteBytes(image, three, {60});
    overwriteBytes(image, three + 32, {200});  // identifier runs past the record
    EXPECT_EQ(names(list()), firstTwo);

    truncateFile(image, three + 40);  // the file ends inside the record
    EXPECT_EQ(names(list()), firstTwo);
    truncateFile(image, three);
    EXPECT_EQ(names(list()), firstTwo);
}

TEST_F(DirectoryListingTest, AFileThatCannotBeOpenedIsAnErrorNamingIt) {
    const auto listing = listDirectory(dir.file("missing.iso"), 0x10000);
    ASSERT_FALSE(listing);
    EXPECT_EQ(listing.error().kind, ErrorKind::Io);
    EXPECT_NE(listing.error().message.find("missing.iso"), std::string::npos);
    EXPECT_NE(listing.error().message.find("No such file or directory"), std::string::npos);
}

}  // namespace
}  // namespace kestrel
