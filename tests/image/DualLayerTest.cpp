#include "image/DualLayer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "ops/MasterFile.h"
#include "ops/SessionFixtures.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;
using Verdict = DualLayerCheck::Verdict;

constexpr uint32_t kLayerZeroSectors = 330;
constexpr uint64_t kLayerZeroBytes = uint64_t{kLayerZeroSectors} * 2048;
// Layer 1's volume starts 32768 bytes before the end of layer 0.
constexpr uint64_t kLayerOneStart = kLayerZeroBytes - 32768;

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

class DualLayerTest : public SessionTest {
protected:
    DualLayerTest() {
        copy = dir.file("cache/kestrel/layer1.tmp");
        layer0.setVolumeSectors(kLayerZeroSectors);
    }

    // Opens the image anew and checks it for a second layer.
    DualLayerCheck reopen() {
        session = openSession(image, copy);
        return session->checkDualLayer();
    }

    // Switches layers and returns the label of the volume now presented.
    std::string switchLayers() {
        const auto switched = session->switchLayers();
        EXPECT_TRUE(switched) << switched.error().message;
        return session->volume().label;
    }

    // The image's bytes from layer 1's start, as many as ZERO.BIN's LBA x 2048 or as the
    // image has, whichever is fewer; of `other` where named.
    Bytes expectedCopy(uint64_t firstLba = 300, const std::string& other = {}) {
        const auto bytes = readFileBytes(other.empty() ? image : other);
        const auto length = std::min<uint64_t>(firstLba * 2048, bytes.size() - kLayerOneStart);
        return {bytes.begin() + kLayerOneStart, bytes.begin() + kLayerOneStart + length};
    }

    // ZERO.BIN, the first record of layer 0's root, sets how much of layer 1 is copied.
    IsoBuilder layer0 = rootFiles(Layout::Dvd, "LAYER_ZERO", {{"ZERO.BIN", 300, 3000}});
    IsoBuilder layer1 =
        rootFiles(Layout::Dvd, "LAYER_ONE",
                  {{"MASTER.BIN", 280, 4096}, {"LINKED.BIN", 290, 10}, {"OTHER.BIN", 295, 10}});
};

TEST_F(DualLayerTest, OnlyAVolumeDescriptorRightBehindLayerZeroMakesAnImageDualLayer) {
    struct Case {
        std::string name;
        bool secondVolume;
        Bytes behindLayerZero;  // appended to the image
        Bytes volumeSectors;    // written over layer 0's
        Verdict verdict;
        // ZERO.BIN's, which ends the copy: beyond 2 GiB the copy ends where the image does.
        uint32_t firstRecordLba = 300;
    };
    const std::vector<Case> cases = {
        {"ExactlyItsVolume", false, {}, {}, Verdict::SingleLayer},
        {"PaddedWithZeros", false, Bytes(64 * 2048, 0), {}, Verdict::SingleLayer},
        {"DescriptorOneByteEarly", false, {'C', 'D', '0', '0', '1', 1}, {}, Verdict::SingleLayer},
        {"SecondVolume", true, {}, {}, Verdict::DualLayer},
        {"FirstVolumeTooShortToHoldTheLead", true, {}, {10, 0, 0, 0}, Verdict::ImageUnreadable},
        {"FirstVolumeOfNoSectors", true, {}, {0, 0, 0, 0}, Verdict::ImageUnreadable},
        {"FirstVolumeOfTheLargestSize", true, {}, {0xFF, 0xFF, 0xFF, 0xFF}, Verdict::SingleLayer},
        {"FirstRecordBeyondTwoGibibytes", true, {}, {}, Verdict::DualLayer, 1u << 20},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        fs::remove_all(dir.file("cache"));
        test.secondVolume ? writeDualLayer(image, layer0, layer1) : layer0.writeTo(image);
        overwriteBytes(image, kLayerZeroBytes, test.behindLayerZero);
        overwriteBytes(image, 0x8050, test.volumeSectors);
        overwriteBytes(image, layer0.recordOffset(IsoBuilder::kRoot, "ZERO.BIN;1") + 2,
                       recordFields(test.firstRecordLba));
        const auto before = readFileBytes(image);
        const auto check = reopen();
        EXPECT_EQ(check.verdict, test.verdict);
        EXPECT_EQ(check.error.has_value(), test.verdict == Verdict::ImageUnreadable);
        EXPECT_EQ(session->hasLayerOneCopy(), test.verdict == Verdict::DualLayer);
        if (test.verdict == Verdict::DualLayer) {
            EXPECT_EQ(readFileBytes(copy), expectedCopy(test.firstRecordLba));
            EXPECT_EQ(switchLayers(), "LAYER_ONE");
        } else {
            EXPECT_FALSE(fs::exists(dir.file("cache")));
        }
        EXPECT_EQ(readFileBytes(image), before);
    }
}

TEST_F(DualLayerTest, TheCopyIsPrivateMadeOncePerSessionAndReplacedByTheNext) {
    writeDualLayer(image, layer0, layer1);
    ASSERT_EQ(reopen().verdict, Verdict::DualLayer);
    EXPECT_EQ(modeOf(copy), 0600u);
    EXPECT_EQ(modeOf(dir.file("cache")), 0700u);
    EXPECT_EQ(modeOf(dir.file("cache/kestrel")), 0700u);

    const Bytes old(700 * 2048, 0xEE);
    writeFileBytes(copy, old);
    ::chmod(copy.c_str(), 0644);
    EXPECT_EQ(session->checkDualLayer().verdict, Verdict::CopyAlreadyMade);
    EXPECT_EQ(readFileBytes(copy), old);
    // A longer, readable old copy is replaced when the image is opened again.
    EXPECT_EQ(reopen().verdict, Verdict::DualLayer);
    EXPECT_EQ(readFileBytes(copy), expectedCopy());
    EXPECT_EQ(modeOf(copy), 0600u);
}

TEST_F(DualLayerTest, NoCopyIsMadeOverALinkOrOverTheImageItself) {
    writeDualLayer(image, layer0, layer1);
    const auto before = readFileBytes(image);
    fs::create_directories(dir.file("cache/kestrel"));
    writeFileBytes(dir.file("target"), {'k', 'e', 'e', 'p'});
    fs::create_symlink(dir.file("target"), copy);
    const auto linked = reopen();
    EXPECT_EQ(linked.verdict, Verdict::CopyNotMade);
    EXPECT_TRUE(linked.error);
    EXPECT_TRUE(fs::is_symlink(copy));
    EXPECT_EQ(readFileBytes(dir.file("target")), (Bytes{'k', 'e', 'e', 'p'}));

    fs::remove(copy);
    ASSERT_EQ(::link(image.c_str(), copy.c_str()), 0);  // the image under another name
    EXPECT_EQ(reopen().verdict, Verdict::CopyNotMade);
    copy = image;
    EXPECT_EQ(reopen().verdict, Verdict::CopyNotMade);
    EXPECT_FALSE(session->hasLayerOneCopy());
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_F(DualLayerTest, AMasterFileOfTheOtherLayerIsRefusedBeforeAnyRecordIsTouched) {
    writeDualLayer(image, layer0, layer1);
    for (const bool masterOnLayerOne : {false, true}) {
        SCOPED_TRACE(masterOnLayerOne ? "master on layer 1" : "master on layer 0");
        ASSERT_EQ(reopen().verdict, Verdict::DualLayer);
        if (masterOnLayerOne) {
            switchLayers();
        }
        const auto master = chooseMasterFile(*session, IsoBuilder::kRoot,
                                             masterOnLayerOne ? "MASTER.BIN" : "ZERO.BIN");
        ASSERT_TRUE(master);
        switchLayers();
        const auto imageBytes = readFileBytes(image);
        const auto copyBytes = readFileBytes(copy);
        const Rows rows = masterOnLayerOne ? Rows{"ZERO.BIN"} : Rows{"LINKED.BIN", "OTHER.BIN"};
        const auto run = relinkFiles(*session, IsoBuilder::kRoot, rows, *master, true);
        ASSERT_TRUE(run.failure);
        EXPECT_EQ(run.failure->rowName, rows.front());
        EXPECT_NE(run.failure->error.message.find("choose a master file on this layer"),
                  std::string::npos);
        EXPECT_TRUE(run.patched.empty());
        EXPECT_EQ(readFileBytes(image), imageBytes);
        EXPECT_EQ(readFileBytes(copy), copyBytes);
    }
}

// A session that finds the copy in use, here by another image's, makes its own beside it: each
// reads its own layer 1 while the second edits its records, and the second's copy goes with
// it, as does one a killed process left. The journal knows the copy by its place alone, so a
// later session undoes the edit through the shared copy.
TEST_F(DualLayerTest, ASessionMakesItsOwnCopyWhileAnotherHoldsTheSharedOne) {
    writeDualLayer(image, layer0, layer1);
    const std::string other = dir.file("other.iso");
    writeDualLayer(other, layer0, rootFiles(Layout::Dvd, "OTHER_ONE", {{"ELSE.BIN", 280, 10}}));
    const auto imageBefore = readFileBytes(image);
    const auto copyBefore = expectedCopy();
    const std::string ownCopy =
        dir.file("cache/kestrel/layer1." + std::to_string(::getpid()) + ".tmp");
    const std::string leftCopy = dir.file("cache/kestrel/layer1.12345.tmp");
    {
        auto first = openSession(other, copy);
        ASSERT_EQ(first.checkDualLayer().verdict, Verdict::DualLayer);
        ASSERT_TRUE(first.switchLayers());
        writeFileBytes(leftCopy, {1});
        ASSERT_EQ(reopen().verdict, Verdict::DualLayer);
        EXPECT_EQ(switchLayers(), "LAYER_ONE");
        EXPECT_EQ(session->layerCopyPath(), ownCopy);
        const auto master = chooseMasterFile(*session, IsoBuilder::kRoot, "MASTER.BIN");
        ASSERT_TRUE(master) << master.error().message;
        const auto run = relinkFiles(*session, IsoBuilder::kRoot, {"LINKED.BIN"}, *master, true);
        ASSERT_FALSE(run.failure) << run.failure->error.message;
        EXPECT_EQ(listedNames(first), Rows{"ELSE.BIN"});
        EXPECT_EQ(readFileBytes(copy), expectedCopy(300, other));
        EXPECT_EQ(readFileBytes(ownCopy), expectedCopy());
        const uint64_t linked =
            kLayerOneStart + layer1.recordOffset(IsoBuilder::kRoot, "LINKED.BIN;1");
        EXPECT_EQ(readFileBytes(image),
                  withBytesAt(imageBefore, linked + 2, recordFields(280, 4096)));
        session.reset();
    }
    EXPECT_FALSE(fs::exists(ownCopy));
    EXPECT_FALSE(fs::exists(leftCopy));
    ASSERT_EQ(reopen().verdict, Verdict::DualLayer);
    EXPECT_EQ(switchLayers(), "LAYER_ONE");
    const auto undone = session->undo(session->journal()->lastUndoable().value()->id);
    ASSERT_TRUE(undone) << undone.error().message;
    EXPECT_EQ(readFileBytes(image), imageBefore);
    EXPECT_EQ(readFileBytes(copy), copyBefore);
}

}  // namespace
}  // namespace kestrel
