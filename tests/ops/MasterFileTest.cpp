#include "ops/MasterFile.h"

#include <gtest/gtest.h>

#include "image/Volume.h"
#include "ops/RecordPatch.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

class MasterFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        builder.addFile(IsoBuilder::kRoot, recordOnly("MASTER.BIN;1", 50, 0x12345));
        builder.addFile(IsoBuilder::kRoot, recordOnly("A.BIN;1", 60, 7));
        builder.addFile(IsoBuilder::kRoot, recordOnly("B.BIN;1", 61, 8));
        builder.setVolumeSectors(100);
        builder.writeTo(image);
        state.chooseImage(image);
        ASSERT_TRUE(openVolume(state));
        ASSERT_TRUE(chooseMasterFile(state, IsoBuilder::kRoot, "MASTER.BIN"));
    }

    uint64_t recordOf(int directory, const std::string& identifier) {
        return builder.recordOffset(directory, identifier);
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    IsoBuilder builder{Layout::CdRomXa, "RELINK"};
    EditorState state;
};

TEST_F(MasterFileTest, TheMasterIsTakenFromItsRecordAndKeptWhenAnotherCannotBeFound) {
    EXPECT_EQ(state.masterLba, 50u);
    EXPECT_EQ(state.masterSize, 0x12345u);

    auto missing = chooseMasterFile(state, IsoBuilder::kRoot, "NOPE.BIN");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::NotFound);
    EXPECT_EQ(state.masterLba, 50u);
    EXPECT_EQ(state.masterSize, 0x12345u);
}

TEST_F(MasterFileTest, ARelinkStopsAtTheFirstRowItCannotPatchAndNamesTheRowsDoneBefore) {
    // B.BIN was renamed behind the listing's back.
    overwriteBytes(image, recordOf(1, "B.BIN;1") + 33, {'X'});
    const auto before = readFileBytes(image);

    auto run = relinkFiles(state, IsoBuilder::kRoot, {"A.BIN", "B.BIN", "MASTER.BIN"}, true);
    EXPECT_EQ(run.patched, std::vector<std::string>{"A.BIN"});
    ASSERT_TRUE(run.failure);
    EXPECT_EQ(run.failure->rowName, "B.BIN");
    EXPECT_EQ(run.failure->error.kind, ErrorKind::NotFound);
    // A.BIN was patched; the master's own record, after the failure, was not touched.
    EXPECT_EQ(readFileBytes(image),
              withBytesAt(before, recordOf(1, "A.BIN;1") + 2,
                          {50, 0, 0, 0, 0, 0, 0, 50, 0x45, 0x23, 0x01, 0, 0, 0x01, 0x23, 0x45}));
}

}  // namespace
}  // namespace kestrel
