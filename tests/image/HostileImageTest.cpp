// Damaged and malicious images. Whatever their bytes, each must open or be refused with a
// reason, list every directory, find every listed row again, and let every operation either
// do its work or refuse it, writing only the bytes it owns; the checks behind that are the
// fuzz targets' own. Each case also pins what the image must show.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <tuple>

#include "fuzz/ImageChecks.h"
#include "image/ByteOrder.h"
#include "image/DirectoryListing.h"
#include "image/DualLayer.h"
#include "image/Volume.h"
#include "ops/Blanking.h"
#include "ops/OperationSnapshot.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::string>;

constexpr uint64_t kCdPathTable = 19 * 2048;
constexpr size_t kDirectoriesExercised = 8;

// Both volumes of the image, every promise: see the file comment.
void expectPromisesKept(const std::string& image) {
    SCOPED_TRACE(image);
    TempDir scratch;
    const auto size = std::filesystem::file_size(image);
    EditorState state;
    state.layerCopyPath = scratch.file("layer1.tmp");
    state.chooseImage(image);
    const auto browseAndOperate = [&] {
        if (!checks::browseVolume(state)) {
            return;
        }
        const auto directories = std::min(state.dirExtent.size() - 1, kDirectoriesExercised);
        for (DirectoryNumber n = 1; n <= directories; ++n) {
            checks::exerciseOperations(state, n, scratch.path().string());
        }
    };
    try {
        browseAndOperate();
        if (state.isDvd && listDirectory(state, IsoBuilder::kRoot) &&
            checkDualLayer(state).verdict == DualLayerCheck::Verdict::DualLayer) {
            switchLayers(state);
            browseAndOperate();
        }
    } catch (const checks::BrokenPromise& broken) {
        ADD_FAILURE() << broken.what();
    }
    EXPECT_EQ(std::filesystem::file_size(image), size);
}

Rows rowNames(const std::string& image, DirectoryNumber directory = IsoBuilder::kRoot) {
    EditorState state;
    state.chooseImage(image);
    Rows names;
    if (openVolume(state)) {
        if (auto listing = listDirectory(state, directory)) {
            for (const auto& row : listing->rows) {
                names.insert(names.begin(), row.name);  // back in record order
            }
        }
    }
    return names;
}

// Three directories, a root of three one-sector files and a deep one of sixty.
IsoBuilder sampleBuilder(Layout layout = Layout::CdRomXa) {
    IsoBuilder builder(layout, "HOSTILE");
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    const int deep = builder.addDirectory(docs, "DEEP");
    for (const char* name : {"A.TXT;1", "B.TXT;1", "C.TXT;1"}) {
        builder.addFile(IsoBuilder::kRoot, textFile(name, std::string(700, name[0])));
    }
    builder.addFile(docs, textFile("MANUAL.TXT;1", "the manual"));
    for (int i = 0; i < 60; ++i) {
        builder.addFile(deep, textFile("PART_" + std::to_string(i) + ".BIN;1", "part"));
    }
    return builder;
}

// Every place where one structure ends and the next begins, where a cut or a bad length
// byte does the most harm: the descriptor's fields, each path-table record, each directory
// record's length, extent, identifier and end, and each file's data.
std::vector<uint64_t> structureBoundaries(const IsoBuilder& builder, uint64_t pathTable) {
    std::vector<uint64_t> at = {0x8000, 0x8028, 0x8028 + 49, 0x8050,
                                0x8054, 0x8400, 0x8402,      0x8800};
    for (uint64_t record = 0; record < 4; ++record) {
        at.insert(at.end(), {pathTable + record * 10, pathTable + record * 10 + 8});
    }
    for (int directory = 1; directory <= 3; ++directory) {
        const uint64_t extent = uint64_t{builder.directoryLba(directory)} * 2048;
        at.insert(at.end(), {extent, extent + 10, extent + 96, extent + 2048});
    }
    for (const char* name : {"A.TXT;1", "C.TXT;1"}) {
        const auto record = builder.recordOffset(IsoBuilder::kRoot, name);
        at.insert(at.end(),
                  {record, record + 2, record + 10, record + 32, record + 33, record + 33 + 7});
    }
    return at;
}

TEST(HostileImage, CutAtEveryStructureBoundaryItOpensOrIsRefusedAndEveryPromiseHolds) {
    for (const auto layout : {Layout::CdRomXa, Layout::Dvd}) {
        TempDir dir;
        const auto image = dir.file("cut.iso");
        const auto builder = sampleBuilder(layout);
        builder.writeTo(image);
        const auto pristine = readFileBytes(image);
        const uint64_t pathTable = layout == Layout::Dvd ? 258 * 2048 : kCdPathTable;
        for (const uint64_t boundary : structureBoundaries(builder, pathTable)) {
            for (const uint64_t cut : {boundary - 1, boundary, boundary + 1}) {
                writeFileBytes(image, pristine);
                truncateFile(image, cut);
                expectPromisesKept(image);
            }
        }
        // Ending before the classification bytes, the image is refused, and says why.
        truncateFile(image, 0x8401);
        const auto refused = readVolume(image);
        ASSERT_FALSE(refused);
        EXPECT_NE(refused.error().message.find("too short"), std::string::npos);
        // Ending inside C.TXT's identifier keeps the rows read before it.
        writeFileBytes(image, pristine);
        truncateFile(image, builder.recordOffset(IsoBuilder::kRoot, "C.TXT;1") + 36);
        EXPECT_EQ(rowNames(image), (Rows{"A.TXT", "B.TXT"}));
    }
}

TEST(HostileImage, RandomlyDamagedStructuresKeepEveryPromise) {
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
    for (int round = 0; round < 100; ++round) {
        auto bytes = pristine;
        for (int hit = 0; hit < 1 + round % 20; ++hit) {
            bytes[where(random)] = static_cast<uint8_t>(what(random));
        }
        writeFileBytes(damaged, bytes);
        expectPromisesKept(damaged);
    }
}

// B.TXT's record, between A.TXT's and C.TXT's, given bad length bytes.
class BadRecordTest : public ::testing::Test {
protected:
    BadRecordTest() {
        builder.writeTo(image);
        pristine = readFileBytes(image);
    }

    Rows rowsWithRecordBytes(std::initializer_list<std::pair<size_t, uint8_t>> fields) {
        writeFileBytes(image, pristine);
        for (const auto& [field, value] : fields) {
            overwriteBytes(image, builder.recordOffset(IsoBuilder::kRoot, "B.TXT;1") + field,
                           {value});
        }
        expectPromisesKept(image);
        return rowNames(image);
    }

    TempDir dir;
    std::string image = dir.file("bad.iso");
    IsoBuilder builder = sampleBuilder();
    Bytes pristine;
};

TEST_F(BadRecordTest, AZeroLengthEndsTheSectorAndALengthTooShortForARecordEndsTheWalk) {
    EXPECT_EQ(rowsWithRecordBytes({{0, 0}}), Rows{"A.TXT"});
    for (const uint8_t tiny : {1, 2, 17, 33}) {
        EXPECT_EQ(rowsWithRecordBytes({{0, tiny}}), Rows{"A.TXT"}) << int{tiny};
    }
    // 33 bytes hold every field but leave no room for even a one-byte identifier.
    EXPECT_EQ(rowsWithRecordBytes({{0, 33}, {32, 0}}), Rows{"A.TXT"});
}

TEST_F(BadRecordTest, AnIdentifierRunningPastItsRecordEndsTheWalk) {
    const uint8_t recordLength = pristine[builder.recordOffset(IsoBuilder::kRoot, "B.TXT;1")];
    for (const uint8_t length : {uint8_t(recordLength - 33 + 1), uint8_t{200}, uint8_t{255}}) {
        EXPECT_EQ(rowsWithRecordBytes({{32, length}}), Rows{"A.TXT"}) << int{length};
    }
    // An identifier of zero or one byte lists with an empty name, and is found again.
    EXPECT_EQ(rowsWithRecordBytes({{32, 0}}), (Rows{"A.TXT", "", "C.TXT"}));
    EXPECT_EQ(rowsWithRecordBytes({{32, 1}}), (Rows{"A.TXT", "", "C.TXT"}));
}

TEST_F(BadRecordTest, ARecordRunningIntoTheNextSectorEndsTheWalk) {
    // DEEP's sixty records fill more than a sector; find the last one in its first sector.
    const int deep = 3;
    const uint64_t firstSectorEnd = uint64_t{builder.directoryLba(deep) + 1} * 2048;
    int last = 0;
    while (builder.recordOffset(deep, "PART_" + std::to_string(last + 1) + ".BIN;1") <
           firstSectorEnd) {
        ++last;
    }
    const auto record = builder.recordOffset(deep, "PART_" + std::to_string(last) + ".BIN;1");
    const auto sectorLeft = static_cast<uint8_t>(firstSectorEnd - record);
    overwriteBytes(image, record, {sectorLeft});  // still inside: listed
    EXPECT_EQ(rowNames(image, deep).size(), 60u);
    overwriteBytes(image, record, {uint8_t(sectorLeft + 1)});
    overwriteBytes(image, record + 32, {uint8_t(sectorLeft + 1 - 33)});
    EXPECT_EQ(rowNames(image, deep).size(), static_cast<size_t>(last));
    expectPromisesKept(image);
}

TEST(HostileImage, APathTableIdentifierPastTheEndOfTheFileEndsTheTable) {
    TempDir dir;
    IsoBuilder builder(Layout::CdRomXa, "SHORT");
    builder.addDirectory(IsoBuilder::kRoot, "FIRST");
    builder.addDirectory(IsoBuilder::kRoot, "SECOND");
    const auto image = dir.file("short.iso");
    builder.writeTo(image);
    // The root's record is 10 bytes and FIRST's 14 (with its pad); cut three bytes into SECOND.
    truncateFile(image, kCdPathTable + 10 + 14 + 8 + 3);
    const auto volume = readVolume(image);
    ASSERT_TRUE(volume);
    ASSERT_EQ(volume->directories.size(), 2u);
    EXPECT_EQ(volume->directories[1].identifier, "FIRST");
    expectPromisesKept(image);
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
    expectPromisesKept(image);
    overwriteBytes(image, parentOf(4), {2, 0});  // a real earlier directory stays
    EXPECT_EQ(readVolume(image)->directories[3].parent, 2);
}

TEST(HostileImage, APathTableOfSeventyThousandEntriesStopsAtTheLastNumberAParentCanName) {
    TempDir dir;
    IsoBuilder builder(Layout::CdRomXa, "MANY");
    builder.setVolumeSectors(1000);
    const auto image = dir.file("many.iso");
    builder.writeTo(image);
    Bytes table;
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
    expectPromisesKept(image);
}

// Extents whose byte offset, or whose end, lies beyond 2^32: computed in 32 bits, each would
// land on the volume descriptor at byte 0x8000 or on another file.
TEST(HostileImage, ExtentsAndSizesNearTwoToThe32NeverWrapIntoTheImage) {
    TempDir dir;
    IsoBuilder builder(Layout::CdRomXa, "WRAP");
    const int far = builder.addDirectory(IsoBuilder::kRoot, "FAR");
    const std::vector<std::tuple<std::string, uint32_t, uint32_t>> files = {
        {"WRAP.BIN;1", (1u << 21) + 16, 2048},
        {"SIGNED.BIN;1", 0x80000010u, 2048},
        {"TOP.BIN;1", 0xFFFFFFFFu, 1},
        {"HUGE.BIN;1", 16, 0xFFFFFFFFu}};
    for (const auto& [identifier, lba, size] : files) {
        builder.addFile(IsoBuilder::kRoot, recordOnly(identifier, 16, 1));
    }
    builder.addFile(far, textFile("HIDDEN.TXT;1", "only in FAR"));
    const auto image = dir.file("wrap.iso");
    builder.writeTo(image);
    for (const auto& [identifier, lba, size] : files) {
        Bytes fields(16);
        writeBothEndian(std::span(fields).first<8>(), lba);
        writeBothEndian(std::span(fields).last<8>(), size);
        overwriteBytes(image, builder.recordOffset(IsoBuilder::kRoot, identifier) + 2, fields);
    }
    // FAR's extent moved 2^21 sectors on: 4 GiB past its real one.
    const uint32_t farLba = builder.directoryLba(far) + (1u << 21);
    overwriteBytes(
        image, kCdPathTable + 10 + 2,
        {uint8_t(farLba), uint8_t(farLba >> 8), uint8_t(farLba >> 16), uint8_t(farLba >> 24)});
    const auto before = readFileBytes(image);

    EditorState state;
    state.chooseImage(image);
    ASSERT_TRUE(openVolume(state));
    EXPECT_EQ(state.dirExtent[far], uint64_t{farLba} * 2048);
    EXPECT_TRUE(listDirectory(state, far)->rows.empty());
    const auto listing = listDirectory(state, IsoBuilder::kRoot);
    ASSERT_TRUE(listing);
    const auto& signedRow = listing->rows[2];
    EXPECT_EQ(signedRow.name + " " + signedRow.lba, "SIGNED.BIN -2147483632");
    EXPECT_EQ(listing->rows[0].name + " " + listing->rows[0].size, "HUGE.BIN 4294967295");

    class Quiet : public OperationObserver {
        void beginFile(const std::string&) override {}
        void showPercent(int) override {}
        bool stopRequested() override { return false; }
    } quiet;
    const Rows all = {"WRAP.BIN", "SIGNED.BIN", "TOP.BIN", "HUGE.BIN"};
    const auto report = blankFiles(takeSnapshot(state, IsoBuilder::kRoot, all), quiet);
    ASSERT_EQ(report.failures.size(), all.size());
    for (const auto& failure : report.failures) {
        EXPECT_EQ(failure.error.kind, ErrorKind::OutOfRange) << failure.rowName;
        EXPECT_NE(failure.error.message.find("runs past the end of " + image), std::string::npos)
            << failure.error.message;
    }
    EXPECT_EQ(readFileBytes(image), before);
    expectPromisesKept(image);
}

TEST(HostileImage, VolumeSizesOfZeroAndOfTheLargestNumberMakeNoLayerOneCopy) {
    TempDir dir;
    const auto image = dir.file("sized.iso");
    for (const auto& [sectors, verdict] :
         {std::pair{Bytes{0, 0, 0, 0}, DualLayerCheck::Verdict::ImageUnreadable},
          std::pair{Bytes{0xFF, 0xFF, 0xFF, 0xFF}, DualLayerCheck::Verdict::SingleLayer}}) {
        sampleBuilder(Layout::Dvd).writeTo(image);
        overwriteBytes(image, 0x8050, sectors);
        EditorState state;
        state.layerCopyPath = dir.file("layer1.tmp");
        state.chooseImage(image);
        ASSERT_TRUE(openVolume(state));
        EXPECT_EQ(state.layer0Bytes, int64_t{readLe32(sectors, 0)} * 2048);
        ASSERT_TRUE(listDirectory(state, IsoBuilder::kRoot));
        const auto check = checkDualLayer(state);
        EXPECT_EQ(check.verdict, verdict);
        EXPECT_EQ(check.error.has_value(), verdict == DualLayerCheck::Verdict::ImageUnreadable);
        EXPECT_FALSE(std::filesystem::exists(state.layerCopyPath));
        expectPromisesKept(image);
    }
}

TEST(HostileImage, ADualLayerImageWithoutASecondVolumeOrWithGarbageThereKeepsEveryPromise) {
    TempDir dir;
    const auto image = dir.file("dual.iso");
    auto layer0 = sampleBuilder(Layout::Dvd);
    const uint64_t layer0Bytes = uint64_t{layer0.volumeSectors()} * 2048;

    // Missing: the file goes one sector past layer 0, all zeros.
    layer0.writeTo(image);
    truncateFile(image, layer0Bytes + 2048);
    EditorState state;
    state.layerCopyPath = dir.file("layer1.tmp");
    state.chooseImage(image);
    ASSERT_TRUE(openVolume(state) && listDirectory(state, IsoBuilder::kRoot));
    ASSERT_EQ(checkDualLayer(state).verdict, DualLayerCheck::Verdict::DualLayer);
    switchLayers(state);
    const auto layerOne = openVolume(state);
    ASSERT_FALSE(layerOne);
    EXPECT_NE(layerOne.error().message.find(state.layerCopyPath), std::string::npos);
    switchLayers(state);
    EXPECT_TRUE(openVolume(state));
    expectPromisesKept(image);

    // Garbage: layer 1's volume is random bytes, with a descriptor or without one.
    std::mt19937 random(93213);
    for (int round = 0; round < 6; ++round) {
        layer0.writeTo(image);
        Bytes garbage(700 * 1024);
        std::generate(garbage.begin(), garbage.end(), [&] { return uint8_t(random()); });
        if (round % 2 == 0) {
            std::fill_n(garbage.begin() + 0x8400, 2, 0);  // classed as a DVD
            std::fill_n(garbage.begin() + 0x8050, 4, 0);
        }
        overwriteBytes(image, layer0Bytes - 32768, garbage);
        expectPromisesKept(image);
    }
}

TEST(HostileImage, NamesThatNoFileCanHaveAreListedFoundAndNeverLeaveTheFolder) {
    TempDir dir;
    IsoBuilder builder(Layout::CdRomXa, "NAMES");
    const Rows names = {"../ESCAPE", "A/B", "..", ".", "", "\x01\x1b[2J", "\xE9T\xC9\xFF"};
    for (const auto& name : names) {
        builder.addFile(IsoBuilder::kRoot, textFile(name + ";1", "named " + name));
    }
    const auto image = dir.file("names.iso");
    builder.writeTo(image);
    EXPECT_EQ(rowNames(image), names);
    expectPromisesKept(image);
}

}  // namespace
}  // namespace kestrel
