// Damaged and malicious images: whatever their bytes, opening, listing every directory and
// finding every listed row again must end, stay inside the file, and agree with each other.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "image/ByteOrder.h"
#include "image/DirectoryListing.h"
#include "image/Volume.h"
#include "ops/RecordPatch.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

constexpr uint64_t kCdPathTable = 19 * 2048;

// Opens, lists every directory and finds every row again; returns the rows listed.
size_t exercise(const std::string& image) {
    EditorState state;
    state.chooseImage(image);
    auto volume = openVolume(state);
    if (!volume) {
        EXPECT_NE(volume.error().message, "");
        return 0;
    }
    size_t rows = 0;
    for (DirectoryNumber n = 1; n <= volume->directories.size(); ++n) {
        auto listing = listDirectory(state, n);
        if (!listing) {
            continue;
        }
        for (const auto& row : listing->rows) {
            auto found = findDirectoryRecord(state, n, row.name);
            EXPECT_TRUE(found) << "row " << row.name << " of directory " << n << " not found again";
            ++rows;
        }
    }
    return rows;
}

IsoBuilder sampleBuilder() {
    IsoBuilder builder(Layout::CdRomXa, "HOSTILE");
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    const int deep = builder.addDirectory(docs, "DEEP");
    builder.addFile(IsoBuilder::kRoot, textFile("README.TXT;1", "read me"));
    builder.addFile(docs, textFile("MANUAL.TXT;1", "the manual"));
    for (int i = 0; i < 60; ++i) {
        builder.addFile(deep, textFile("PART_" + std::to_string(i) + ".BIN;1", "part"));
    }
    return builder;
}

TEST(HostileImage, TruncatedAnywhereItOpensOrRefusesAndNeverReadsBeyondTheEnd) {
    TempDir dir;
    const auto image = dir.file("cut.iso");
    const auto builder = sampleBuilder();
    builder.writeTo(image);
    EXPECT_EQ(exercise(image), 62u);
    // Cutting from the end down: finely through the structures, by sectors through the data.
    const uint64_t structuresEnd = uint64_t{builder.directoryLba(3) + 3} * 2048;
    for (uint64_t length = readFileBytes(image).size(); length > 0;) {
        length -= std::min<uint64_t>(length, length > structuresEnd ? 2048 : 37);
        truncateFile(image, length);
        EXPECT_LE(exercise(image), 62u);
    }
}

TEST(HostileImage, RandomlyDamagedStructuresNeverBreakTheWalks) {
    TempDir dir;
    const auto whole = dir.file("whole.iso");
    const auto builder = sampleBuilder();
    builder.writeTo(whole);
    const auto pristine = readFileBytes(whole);
    const uint64_t structuresEnd = uint64_t{builder.directoryLba(3) + 3} * 2048;
    std::mt19937 random(20261206);
    std::uniform_int_distribution<uint64_t> where(0x8000, structuresEnd - 1);
    std::uniform_int_distribution<int> what(0, 255);
    const auto damaged = dir.file("damaged.iso");
    for (int round = 0; round < 300; ++round) {
        auto bytes = pristine;
        for (int hit = 0; hit < 1 + round % 20; ++hit) {
            bytes[where(random)] = static_cast<uint8_t>(what(random));
        }
        writeFileBytes(damaged, bytes);
        exercise(damaged);
    }
}

TEST(HostileImage, ParentsThatLoopOrPointForwardHangUnderTheRoot) {
    TempDir dir;
    IsoBuilder builder(Layout::CdRomXa, "LOOPS");
    builder.addDirectory(IsoBuilder::kRoot, "AA");  // number 2
    builder.addDirectory(IsoBuilder::kRoot, "BB");  // number 3
    builder.addDirectory(IsoBuilder::kRoot, "CC");  // number 4
    const auto image = dir.file("loops.iso");
    builder.writeTo(image);
    // Records are 10 bytes each: the root's, then AA, BB, CC. Their parent fields sit at 6.
    const auto parentOf = [](int number) { return kCdPathTable + 10 * (number - 1) + 6; };
    overwriteBytes(image, parentOf(2), {3, 0});  // forward
    overwriteBytes(image, parentOf(3), {3, 0});  // itself
    overwriteBytes(image, parentOf(4), {0, 0});  // none
    auto volume = readVolume(image);
    ASSERT_TRUE(volume);
    ASSERT_EQ(volume->directories.size(), 4u);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(volume->directories[i].parent, 1) << volume->directories[i].identifier;
    }
    overwriteBytes(image, parentOf(4), {2, 0});  // a real earlier directory stays
    EXPECT_EQ(readVolume(image)->directories[3].parent, 2);
}

TEST(HostileImage, APathTableOfSeventyThousandEntriesStopsAtTheLastNumberAParentCanName) {
    TempDir dir;
    IsoBuilder builder(Layout::CdRomXa, "MANY");
    builder.setVolumeSectors(1000);
    const auto image = dir.file("many.iso");
    builder.writeTo(image);
    std::vector<uint8_t> table;
    for (uint32_t n = 2; n <= 70000; ++n) {
        // One-letter directories, each under the one before it where the number fits.
        const uint16_t parent = static_cast<uint16_t>(n - 1);
        const uint32_t lba = builder.directoryLba(1);
        table.insert(table.end(),
                     {1, 0, uint8_t(lba), uint8_t(lba >> 8), uint8_t(lba >> 16), uint8_t(lba >> 24),
                      uint8_t(parent), uint8_t(parent >> 8), 'D', 0});
    }
    overwriteBytes(image, kCdPathTable + 10, table);
    auto volume = readVolume(image);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->directories.size(), 65535u);
    EXPECT_EQ(volume->directories.back().parent, 65534);

    EditorState state;
    state.chooseImage(image);
    ASSERT_TRUE(openVolume(state));
    EXPECT_TRUE(listDirectory(state, 65535));
}

TEST(HostileImage, ExtentsFarBeyondTheFileListAsEmpty) {
    TempDir dir;
    IsoBuilder builder(Layout::CdRomXa, "FAR");
    const int far = builder.addDirectory(IsoBuilder::kRoot, "FAR");
    const auto image = dir.file("far.iso");
    builder.writeTo(image);
    // DIR "FAR" is path-table record 2; its extent field is 2 bytes in.
    overwriteBytes(image, kCdPathTable + 10 + 2, {0xFF, 0xFF, 0xFF, 0xFF});
    EditorState state;
    state.chooseImage(image);
    ASSERT_TRUE(openVolume(state));
    EXPECT_EQ(state.dirExtent[far], uint64_t{0xFFFFFFFF} * 2048);
    auto listing = listDirectory(state, far);
    ASSERT_TRUE(listing);
    EXPECT_TRUE(listing->rows.empty());
    EXPECT_FALSE(findDirectoryRecord(state, far, "X"));
}

TEST(HostileImage, AHugeDotSizeWalksOnlyAsFarAsTheFileGoes) {
    TempDir dir;
    auto builder = sampleBuilder();
    const auto image = dir.file("huge.iso");
    builder.writeTo(image);
    overwriteBytes(image, uint64_t{builder.directoryLba(1)} * 2048 + 10, {0xFF, 0xFF, 0xFF, 0xFF});
    // The root now runs over the other directories' sectors; their rows are listed and found.
    EXPECT_GE(exercise(image), 62u);
}

}  // namespace
}  // namespace kestrel
