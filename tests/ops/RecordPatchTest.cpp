#include "ops/RecordPatch.h"

#include <gtest/gtest.h>

#include "image/DirectoryListing.h"
#include "image/Volume.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

class RecordPatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        builder.addDirectory(IsoBuilder::kRoot, "SUBDIR");
        builder.addFile(IsoBuilder::kRoot, recordOnly("HIDDEN.TXT;1", 70, 5, 1));
        builder.addFile(IsoBuilder::kRoot, recordOnly("README.TXT;1", 40, 300));
        builder.addFile(IsoBuilder::kRoot, recordOnly("readme.txt;1", 41, 301));
        builder.addFile(IsoBuilder::kRoot, recordOnly(";1", 42, 302));
        builder.addFile(IsoBuilder::kRoot, recordOnly("HIDDEN.TXT;1", 43, 303));
        builder.setVolumeSectors(100);
        builder.writeTo(image);
        state.chooseImage(image);
        ASSERT_TRUE(openVolume(state));
    }

    RecordLocation find(const std::string& name) {
        auto found = findDirectoryRecord(state, IsoBuilder::kRoot, name);
        EXPECT_TRUE(found) << found.error().message;
        return found ? *found : RecordLocation{};
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    IsoBuilder builder{Layout::CdRomXa, "PATCH"};
    EditorState state;
};

TEST_F(RecordPatchTest, FindsTheFirstListedRecordWithExactlyTheRowsName) {
    const auto readme = find("README.TXT");
    EXPECT_EQ(readme.recordOffset, builder.recordOffset(1, "README.TXT;1"));
    EXPECT_EQ(readme.extentLba, 40u);
    EXPECT_EQ(readme.dataLength, 300u);
    EXPECT_EQ(readme.identifier, "README.TXT;1");

    EXPECT_EQ(find("readme.txt").extentLba, 41u);
    EXPECT_EQ(find("").extentLba, 42u);
    // The hidden record of the same name comes first but is never a match.
    EXPECT_EQ(find("HIDDEN.TXT").extentLba, 43u);

    for (const std::string absent : {"SUBDIR", "README.TX", "README.TXT;1", "Readme.txt"}) {
        auto missing = findDirectoryRecord(state, IsoBuilder::kRoot, absent);
        ASSERT_FALSE(missing) << absent;
        EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);
        EXPECT_NE(missing.error().message.find(absent), std::string::npos);
    }
    EXPECT_FALSE(findDirectoryRecord(state, 0, "README.TXT"));
}

TEST_F(RecordPatchTest, APatchRewritesTheExtentAndOptionallyTheLengthInBothByteOrdersOnly) {
    const auto before = readFileBytes(image);
    const auto readme = find("README.TXT");
    ASSERT_TRUE(patchDirectoryRecord(image, readme, 300, std::nullopt));
    const auto extentOnly = readFileBytes(image);
    EXPECT_EQ(extentOnly, withBytesAt(before, readme.recordOffset + 2,
                                      {0x2C, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x2C}));

    ASSERT_TRUE(patchDirectoryRecord(image, find("README.TXT"), 0x12345678, 0xCAFEBABE));
    EXPECT_EQ(readFileBytes(image), withBytesAt(extentOnly, readme.recordOffset + 2,
                                                {0x78, 0x56, 0x34, 0x12, 0x12, 0x34, 0x56, 0x78,  //
                                                 0xBE, 0xBA, 0xFE, 0xCA, 0xCA, 0xFE, 0xBA, 0xBE}));

    const auto listing = listDirectory(state, IsoBuilder::kRoot);
    ASSERT_TRUE(listing);
    const auto row = std::find_if(listing->rows.begin(), listing->rows.end(),
                                  [](const ListRow& r) { return r.name == "README.TXT"; });
    ASSERT_NE(row, listing->rows.end());
    EXPECT_EQ(row->lba, std::to_string(0x12345678));
    EXPECT_EQ(row->size, std::to_string(0xCAFEBABEu));
}

TEST_F(RecordPatchTest, ARecordThatChangedSinceTheWalkIsNotWritten) {
    const auto readme = find("README.TXT");
    overwriteBytes(image, readme.recordOffset + 2, {41});  // someone else moved it
    const auto changed = readFileBytes(image);
    auto refused = patchDirectoryRecord(image, readme, 1000, 1000);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, ErrorKind::Changed);
    EXPECT_NE(refused.error().message.find(image), std::string::npos);
    EXPECT_EQ(readFileBytes(image), changed);

    auto elsewhere = find("readme.txt");
    elsewhere.recordOffset += 1;  // not a record boundary
    EXPECT_FALSE(patchDirectoryRecord(image, elsewhere, 1000, 1000));
    elsewhere.recordOffset = readFileBytes(image).size() - 10;  // a record cannot fit here
    EXPECT_FALSE(patchDirectoryRecord(image, elsewhere, 1000, 1000));
    EXPECT_EQ(readFileBytes(image), changed);
}

TEST_F(RecordPatchTest, AFileThatCannotBeOpenedForWritingIsAnErrorNamingItAndTheReason) {
    const auto readme = find("README.TXT");
    auto missing = patchDirectoryRecord(dir.file("gone.iso"), readme, 1, 1);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    EXPECT_NE(missing.error().message.find("gone.iso"), std::string::npos);
    EXPECT_NE(missing.error().message.find("No such file or directory"), std::string::npos);

    auto folder = patchDirectoryRecord(dir.path().string(), readme, 1, 1);
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().kind, ErrorKind::Io);
}

TEST(RecordPatchInLargeDirectories, RecordsInLaterSectorsAreFoundAndPatched) {
    TempDir dir;
    IsoBuilder builder(Layout::Dvd, "LARGE");
    const int data = builder.addDirectory(IsoBuilder::kRoot, "DATA");
    for (int i = 0; i < 200; ++i) {
        builder.addFile(data, recordOnly("ENTRY_" + std::to_string(i) + ".BIN;1", 1000 + i, 7));
    }
    const auto image = dir.file("large.iso");
    builder.writeTo(image);
    EditorState state;
    state.chooseImage(image);
    ASSERT_TRUE(openVolume(state));

    auto last = findDirectoryRecord(state, data, "ENTRY_199.BIN");
    ASSERT_TRUE(last);
    EXPECT_GE(last->recordOffset, uint64_t{builder.directoryLba(data)} * 2048 + 2 * 2048);
    const auto before = readFileBytes(image);
    ASSERT_TRUE(patchDirectoryRecord(image, *last, 5, 9));
    EXPECT_EQ(readFileBytes(image), withBytesAt(before, last->recordOffset + 2,
                                                {5, 0, 0, 0, 0, 0, 0, 5, 9, 0, 0, 0, 0, 0, 0, 9}));
}

}  // namespace
}  // namespace kestrel
