#include "image/DualLayer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "image/DirectoryListing.h"
#include "image/Volume.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
using Verdict = DualLayerCheck::Verdict;

constexpr uint32_t kLayerZeroSectors = 330;
// Layer 1's volume starts 32768 bytes before the end of layer 0.
constexpr uint64_t kLayerOneStart = uint64_t{kLayerZeroSectors} * 2048 - 32768;

FileSpec filledAt(std::string identifier, uint32_t lba, uint32_t length, char fill) {
    return fileAt(std::move(identifier), lba, length, std::vector<uint8_t>(length, fill));
}

// Record offsets 2-9 (the extent) and, with a size, 10-17, in both byte orders.
std::vector<uint8_t> recordFields(uint32_t lba, std::optional<uint32_t> size = std::nullopt) {
    std::vector<uint8_t> bytes(size ? 16 : 8);
    for (int i = 0; i < 4; ++i) {
        bytes[i] = bytes[7 - i] = static_cast<uint8_t>(lba >> (8 * i));
        if (size) {
            bytes[8 + i] = bytes[15 - i] = static_cast<uint8_t>(*size >> (8 * i));
        }
    }
    return bytes;
}

class DualLayerTest : public ::testing::Test {
protected:
    DualLayerTest() {
        // The first record of layer 0's root sets how much of layer 1 is copied.
        layer0.addFile(IsoBuilder::kRoot, filledAt("ZERO.BIN;1", 300, 3000, '0'));
        layer0.setVolumeSectors(kLayerZeroSectors);
        layer1.addFile(IsoBuilder::kRoot, filledAt("MASTER.BIN;1", 280, 4096, 'M'));
        layer1.addFile(IsoBuilder::kRoot, filledAt("LINKED.BIN;1", 290, 10, 'L'));
        layer1.addFile(IsoBuilder::kRoot, filledAt("OTHER.BIN;1", 295, 10, 'O'));
        state.layerCopyPath = copy;
    }

    DualLayerCheck open() {
        state.chooseImage(image);
        EXPECT_TRUE(openVolume(state));
        EXPECT_TRUE(listDirectory(state, IsoBuilder::kRoot));
        return checkDualLayer(state);
    }

    // Switches layers and returns the label of the volume now presented.
    std::string switchAndOpen() {
        switchLayers(state);
        auto volume = openVolume(state);
        EXPECT_TRUE(volume && listDirectory(state, IsoBuilder::kRoot));
        return volume ? volume->label : "";
    }

    // The image's bytes from layer 1's start, as many as ZERO.BIN's LBA x 2048 or as the
    // image has, whichever is fewer.
    std::vector<uint8_t> expectedCopy(uint64_t firstLba = 300) {
        const auto bytes = readFileBytes(image);
        const auto length = std::min<uint64_t>(firstLba * 2048, bytes.size() - kLayerOneStart);
        return {bytes.begin() + kLayerOneStart, bytes.begin() + kLayerOneStart + length};
    }

    static mode_t modeOf(const std::string& path) {
        struct stat status {};
        EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
        return status.st_mode & 07777;
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    std::string copy = dir.file("cache/kestrel/layer1.tmp");
    IsoBuilder layer0{Layout::Dvd, "LAYER_ZERO"};
    IsoBuilder layer1{Layout::Dvd, "LAYER_ONE"};
    EditorState state;
};

TEST_F(DualLayerTest, ADvdOfExactlyItsVolumeSizeIsSingleLayerAndOneByteMoreIsDualLayer) {
    layer0.writeTo(image);
    EXPECT_EQ(open().verdict, Verdict::SingleLayer);
    EXPECT_FALSE(state.layerCopyMade);
    EXPECT_FALSE(std::filesystem::exists(dir.file("cache")));

    truncateFile(image, uint64_t{kLayerZeroSectors} * 2048 + 1);
    ASSERT_EQ(open().verdict, Verdict::DualLayer);
    EXPECT_EQ(readFileBytes(copy), expectedCopy());
    EXPECT_EQ(modeOf(copy), 0600u);
    EXPECT_EQ(modeOf(dir.file("cache")), 0700u);
    EXPECT_EQ(modeOf(dir.file("cache/kestrel")), 0700u);

    // Once made, the copy is left alone until an image is chosen again; then a longer, readable
    // old copy is replaced.
    const std::vector<uint8_t> old(700 * 2048, 0xEE);
    writeFileBytes(copy, old);
    ::chmod(copy.c_str(), 0644);
    EXPECT_EQ(checkDualLayer(state).verdict, Verdict::CopyAlreadyMade);
    EXPECT_EQ(readFileBytes(copy), old);
    EXPECT_EQ(open().verdict, Verdict::DualLayer);
    EXPECT_EQ(readFileBytes(copy), expectedCopy());
    EXPECT_EQ(modeOf(copy), 0600u);
}

TEST_F(DualLayerTest, NoCopyIsMadeOverALinkOrTheImageOrFromAnImageThatCannotHoldLayerOne) {
    writeDualLayer(image, layer0, layer1);
    const auto before = readFileBytes(image);
    std::filesystem::create_directories(dir.file("cache/kestrel"));
    writeFileBytes(dir.file("target"), {'k', 'e', 'e', 'p'});
    std::filesystem::create_symlink(dir.file("target"), copy);
    const auto linked = open();
    EXPECT_EQ(linked.verdict, Verdict::CopyNotMade);
    EXPECT_TRUE(linked.error);
    EXPECT_TRUE(std::filesystem::is_symlink(copy));
    EXPECT_EQ(readFileBytes(dir.file("target")), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));

    std::filesystem::remove(copy);
    ASSERT_EQ(::link(image.c_str(), copy.c_str()), 0);  // the image under another name
    EXPECT_EQ(open().verdict, Verdict::CopyNotMade);
    state.layerCopyPath = image;
    EXPECT_EQ(open().verdict, Verdict::CopyNotMade);
    EXPECT_FALSE(state.layerCopyMade);
    EXPECT_EQ(readFileBytes(image), before);

    state.chooseImage(dir.file("missing.iso"));
    const auto missing = checkDualLayer(state);
    EXPECT_EQ(missing.verdict, Verdict::ImageUnreadable);
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->kind, ErrorKind::Io);

    // A first volume of 10 sectors in a larger file: layer 1 would start before the image.
    state.layerCopyPath = dir.file("other/layer1.tmp");
    overwriteBytes(image, 0x8050, {10, 0, 0, 0, 0, 0, 0, 10});
    const auto tooShort = open();
    EXPECT_EQ(tooShort.verdict, Verdict::ImageUnreadable);
    ASSERT_TRUE(tooShort.error);
    EXPECT_EQ(tooShort.error->kind, ErrorKind::CorruptImage);
    EXPECT_FALSE(state.layerCopyMade);
    EXPECT_FALSE(std::filesystem::exists(dir.file("other")));
}

TEST_F(DualLayerTest, AFirstRecordBeyondTwoGibibytesStillCopiesLayerOneAsFarAsTheImageGoes) {
    writeDualLayer(image, layer0, layer1);
    // LBA x 2048 no longer fits in 31 bits; the copy ends where the image does.
    const uint32_t farLba = 1u << 20;
    overwriteBytes(image, layer0.recordOffset(IsoBuilder::kRoot, "ZERO.BIN;1") + 2,
                   recordFields(farLba));
    ASSERT_EQ(open().verdict, Verdict::DualLayer);
    EXPECT_EQ(state.layerCopyLength, uint64_t{farLba} * 2048);
    EXPECT_EQ(readFileBytes(copy), expectedCopy(farLba));
    EXPECT_EQ(switchAndOpen(), "LAYER_ONE");
}

TEST_F(DualLayerTest, LayerOneIsPresentedAndItsRecordEditsReachTheImageAndTheCopyAndLast) {
    writeDualLayer(image, layer0, layer1);
    ASSERT_EQ(open().verdict, Verdict::DualLayer);
    EXPECT_EQ(readFileBytes(copy), expectedCopy());
    ASSERT_EQ(switchAndOpen(), "LAYER_ONE");
    // LBAs of layer 1 count from its start inside the image.
    EXPECT_EQ(readBytesAt(image, state.layerDataOffset(280), 4096), std::string(4096, 'M'));
    const auto linked = layer1.recordOffset(IsoBuilder::kRoot, "LINKED.BIN;1") + 2;
    const auto other = layer1.recordOffset(IsoBuilder::kRoot, "OTHER.BIN;1") + 2;
    auto imageBytes = readFileBytes(image);
    auto copyBytes = readFileBytes(copy);
    const auto expectEdit = [&](uint64_t offset, const std::vector<uint8_t>& bytes) {
        imageBytes = withBytesAt(imageBytes, kLayerOneStart + offset, bytes);
        copyBytes = withBytesAt(copyBytes, offset, bytes);
        EXPECT_EQ(readFileBytes(image), imageBytes);
        EXPECT_EQ(readFileBytes(copy), copyBytes);
    };

    ASSERT_TRUE(chooseMasterFile(state, IsoBuilder::kRoot, "MASTER.BIN"));
    auto run = relinkFiles(state, IsoBuilder::kRoot, {"LINKED.BIN"}, true);
    ASSERT_FALSE(run.failure) << run.failure->error.message;
    expectEdit(linked, recordFields(280, 4096));
    run = relinkFiles(state, IsoBuilder::kRoot, {"OTHER.BIN"}, false);
    ASSERT_FALSE(run.failure) << run.failure->error.message;
    expectEdit(other, recordFields(280));

    const auto toc = readTocRecord(state, IsoBuilder::kRoot, "LINKED.BIN");
    ASSERT_TRUE(toc);
    state.tocLba = 7;
    state.tocSize = 9;
    ASSERT_TRUE(writeTocRecord(state, *toc));
    expectEdit(linked, recordFields(7, 9));

    EXPECT_EQ(switchAndOpen(), "LAYER_ZERO");
    // A fresh copy of the edited image shows the edits.
    ASSERT_EQ(open().verdict, Verdict::DualLayer);
    switchAndOpen();
    auto listing = listDirectory(state, IsoBuilder::kRoot);
    ASSERT_TRUE(listing && listing->rows.size() == 3);
    EXPECT_EQ(listing->rows[0].name + " " + listing->rows[0].lba + " " + listing->rows[0].size,
              "OTHER.BIN 280 10");
    EXPECT_EQ(listing->rows[1].name + " " + listing->rows[1].lba + " " + listing->rows[1].size,
              "LINKED.BIN 7 9");
}

TEST_F(DualLayerTest, ALayerOneRecordThatChangedInEitherFileIsWrittenInNeither) {
    writeDualLayer(image, layer0, layer1);
    ASSERT_EQ(open().verdict, Verdict::DualLayer);
    switchAndOpen();
    ASSERT_TRUE(chooseMasterFile(state, IsoBuilder::kRoot, "MASTER.BIN"));
    const auto linked = layer1.recordOffset(IsoBuilder::kRoot, "LINKED.BIN;1");
    // The image was written over after the copy was made.
    overwriteBytes(image, kLayerOneStart + linked + 2, {99});
    const auto imageBytes = readFileBytes(image);
    const auto copyBytes = readFileBytes(copy);
    const auto run = relinkFiles(state, IsoBuilder::kRoot, {"LINKED.BIN"}, true);
    ASSERT_TRUE(run.failure);
    EXPECT_EQ(run.failure->error.kind, ErrorKind::Changed);
    EXPECT_EQ(readFileBytes(image), imageBytes);
    EXPECT_EQ(readFileBytes(copy), copyBytes);

    // The copy changed after the record was found in it.
    auto other = findDirectoryRecord(state, IsoBuilder::kRoot, "OTHER.BIN");
    ASSERT_TRUE(other);
    overwriteBytes(copy, other->recordOffset + 10, {99});
    const auto changedCopy = readFileBytes(copy);
    const auto patched = patchDirectoryRecord(state, *other, 280, 4096);
    ASSERT_FALSE(patched);
    EXPECT_EQ(patched.error().kind, ErrorKind::Changed);
    EXPECT_EQ(readFileBytes(image), imageBytes);
    EXPECT_EQ(readFileBytes(copy), changedCopy);
}

}  // namespace
}  // namespace kestrel
