#include "image/Volume.h"

#include <gtest/gtest.h>

#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

class VolumeTest : public ::testing::Test {
protected:
    Volume read(const IsoBuilder& builder) {
        builder.writeTo(image);
        auto volume = readVolume(image);
        EXPECT_TRUE(volume) << volume.error().message;
        return volume ? *volume : Volume{};
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
};

TEST_F(VolumeTest, TheLabelIsTheVolumeIdentifiersFirstWord) {
    EXPECT_EQ(read(IsoBuilder(Layout::CdRomXa, "MY DISC")).label, "MY");
    EXPECT_EQ(read(IsoBuilder(Layout::CdRomXa, "GAME_DISC_1")).label, "GAME_DISC_1");
    EXPECT_EQ(read(IsoBuilder(Layout::CdRomXa, " LEADING")).label, "NO LABEL");
    EXPECT_EQ(read(IsoBuilder(Layout::CdRomXa, std::string("\0X", 2))).label, "NO LABEL");
    // The label is read as a line: a newline ends it and is kept.
    EXPECT_EQ(read(IsoBuilder(Layout::CdRomXa, "AB\nCD")).label, "AB\n");
}

TEST_F(VolumeTest, CdImagesReadThePathTableInSector19AndDvdImagesInSector258) {
    for (const auto layout : {Layout::CdRomXa, Layout::Dvd}) {
        IsoBuilder builder(layout, "DISC");
        const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
        builder.addDirectory(docs, "DEEP");
        const auto volume = read(builder);
        EXPECT_EQ(volume.isDvd, layout == Layout::Dvd);
        EXPECT_EQ(volume.volumeSectors, builder.volumeSectors());
        ASSERT_EQ(volume.directories.size(), 3u);
        EXPECT_EQ(volume.directories[0].extentLba, builder.directoryLba(1));
        EXPECT_EQ(volume.directories[1].identifier, "DOCS");
        EXPECT_EQ(volume.directories[1].parent, 1);
        EXPECT_EQ(volume.directories[2].identifier, "DEEP");
        EXPECT_EQ(volume.directories[2].number, 3u);
        EXPECT_EQ(volume.directories[2].parent, 2);
        EXPECT_EQ(volume.directories[2].extentLba, builder.directoryLba(3));
    }
}

TEST_F(VolumeTest, IdentifiersOfEveryLengthAreReadWholeWithTheirPadding) {
    IsoBuilder builder(Layout::CdRomXa, "DISC");
    std::vector<std::string> identifiers;
    for (size_t length = 1; length <= 31; ++length) {
        identifiers.push_back(std::string(length, static_cast<char>('A' + length % 26)));
        builder.addDirectory(IsoBuilder::kRoot, identifiers.back());
    }
    const auto volume = read(builder);
    ASSERT_EQ(volume.directories.size(), identifiers.size() + 1);
    for (size_t i = 0; i < identifiers.size(); ++i) {
        EXPECT_EQ(volume.directories[i + 1].identifier, identifiers[i]);
        EXPECT_EQ(volume.directories[i + 1].extentLba, builder.directoryLba(int(i) + 2));
    }
}

TEST_F(VolumeTest, OpeningRecordsTheVolumeAndLayerZerosSizeInTheState) {
    IsoBuilder builder(Layout::Dvd, "DISC");
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    builder.setVolumeSectors(5000);
    builder.writeTo(image);

    EditorState state;
    state.chooseImage(image);
    ASSERT_TRUE(openVolume(state));
    EXPECT_TRUE(state.isDvd);
    EXPECT_EQ(state.layer0Bytes, 5000 * 2048);
    EXPECT_EQ(state.dirParent, (std::vector<uint16_t>{0, 0, 1}));
    EXPECT_EQ(state.dirExtent,
              (std::vector<uint64_t>{0, uint64_t{builder.directoryLba(1)} * 2048,
                                     uint64_t{builder.directoryLba(docs)} * 2048}));

    // Presenting another file as layer 1 leaves layer 0's size alone.
    IsoBuilder layerOne(Layout::Dvd, "LAYER1");
    layerOne.setVolumeSectors(300);
    layerOne.writeTo(dir.file("layer1.tmp"));
    state.imagePath = dir.file("layer1.tmp");
    ASSERT_TRUE(openVolume(state));
    EXPECT_EQ(state.layer0Bytes, 5000 * 2048);
    EXPECT_EQ(state.dirExtent.size(), 2u);
}

TEST_F(VolumeTest, AnImageThatCannotBeReadIsAnErrorAndLeavesTheStateAlone) {
    EditorState state;
    state.chooseImage(dir.file("missing.iso"));
    state.dirExtent = {0, 4096};
    state.layer0Bytes = 77;
    auto missing = openVolume(state);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    EXPECT_NE(missing.error().message.find("missing.iso"), std::string::npos);
    EXPECT_EQ(state.dirExtent, (std::vector<uint64_t>{0, 4096}));
    EXPECT_EQ(state.layer0Bytes, 77);

    IsoBuilder builder(Layout::Dvd, "DISC");
    builder.writeTo(image);
    for (uint64_t length : {0ull, 0x8401ull, 0x81000ull, 0x81005ull}) {
        truncateFile(image, length);
        state.chooseImage(image);
        auto cut = openVolume(state);
        ASSERT_FALSE(cut) << length;
        EXPECT_EQ(cut.error().kind, ErrorKind::CorruptImage);
        EXPECT_NE(cut.error().message.find("too short"), std::string::npos);
        EXPECT_EQ(state.layer0Bytes, 77);
    }

    auto folder = readVolume(dir.path().string());
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error().kind, ErrorKind::Io);
}

}  // namespace
}  // namespace kestrel
