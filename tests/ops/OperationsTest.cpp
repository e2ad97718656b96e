#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <numeric>

#include <gtest/gtest.h>

#include "image/DirectoryListing.h"
#include "image/DualLayer.h"
#include "image/Volume.h"
#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/Overwrite.h"
#include "support/Images.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::string>;

Bytes bytesAt(const std::string& path, uint64_t offset, size_t count) {
    const auto bytes = readBytesAt(path, offset, count);
    return {bytes.begin(), bytes.end()};
}

std::vector<int> oneTo(int last) {
    std::vector<int> values(last);
    std::iota(values.begin(), values.end(), 1);
    return values;
}

Rows failedRows(const OperationReport& report) {
    Rows rows;
    for (const auto& failure : report.failures) {
        rows.push_back(failure.rowName);
    }
    return rows;
}

class Recorder : public OperationObserver {
public:
    void beginFile(const std::string& rowName) override {
        begun.push_back(rowName);
        percents.emplace_back();
    }
    void showPercent(int percent) override { percents.back().push_back(percent); }
    bool stopRequested() override {
        ++stopQuestions;
        return stopWhen && stopWhen(*this);
    }

    Rows begun;
    std::vector<std::vector<int>> percents;  // per begun file
    int stopQuestions = 0;
    std::function<bool(const Recorder&)> stopWhen;
};

class OperationTest : public ::testing::Test {
protected:
    // Opens the image the way the window does, and presents layer 1 when asked.
    void open(bool dualLayer = false, bool layerOne = false) {
        state.layerCopyPath = dir.file("layer1.tmp");
        state.chooseImage(image);
        ASSERT_TRUE(openVolume(state));
        ASSERT_TRUE(listDirectory(state, IsoBuilder::kRoot));
        using enum DualLayerCheck::Verdict;
        if (state.isDvd) {
            ASSERT_EQ(checkDualLayer(state).verdict, dualLayer ? DualLayer : SingleLayer);
        }
        if (layerOne) {
            switchLayers(state);
            ASSERT_TRUE(openVolume(state));
        }
    }

    OperationSnapshot snapshot(const Rows& rows) {
        return takeSnapshot(state, IsoBuilder::kRoot, rows);
    }

    TempDir dir;
    std::string image = dir.file("image.iso");
    std::string out = dir.file("out");
    EditorState state;
    Recorder recorder;
};

// On each kind of disc: a file of several sectors, one of a sector, one under 100 bytes and
// an empty one, each followed in its extent by bytes that must stay.
struct ListedFile {
    const char* name;
    uint32_t lbaFromBase;
    uint32_t size;
    int finalPercent;
};
constexpr ListedFile kFiles[] = {
    {"BIG.BIN", 0, 5000, 98}, {"K.BIN", 3, 1000, 90}, {"T.BIN", 4, 40, 40}, {"Z.BIN", 5, 0, 0}};
const Rows kRows = {"BIG.BIN", "K.BIN", "T.BIN", "Z.BIN"};

enum class Disc { Cd, Dvd5, Dvd9LayerZero, Dvd9LayerOne };

class OperationOnDisc : public OperationTest, public ::testing::WithParamInterface<Disc> {
protected:
    void SetUp() override {
        const bool dualLayer = layerOne || GetParam() == Disc::Dvd9LayerZero;
        if (dualLayer) {
            writeDualLayer(image, build(10), build(20));
        } else {
            build(10).writeTo(image);
        }
        open(dualLayer, layerOne);
        before = readFileBytes(image);
        if (layerOne) {
            copyBefore = readFileBytes(state.layerCopyPath);
        }
    }

    // Blanking and Overwrite write the image only; extraction writes neither.
    void TearDown() override {
        if (layerOne) {
            EXPECT_EQ(readFileBytes(state.layerCopyPath), copyBefore);
        }
    }

    IsoBuilder build(uint8_t contentSeed) const {
        IsoBuilder builder(base == 30 ? Layout::CdRomXa : Layout::Dvd, "OPS");
        for (uint8_t i = 0; i < 4; ++i) {
            const auto& file = kFiles[i];
            const size_t extent = (file.size / 2048 + 1) * 2048;
            builder.addFile(IsoBuilder::kRoot,
                            fileAt(file.name + std::string(";1"), base + file.lbaFromBase,
                                   file.size, pattern(extent, contentSeed + i)));
        }
        builder.setVolumeSectors(base + 24);
        return builder;
    }

    uint64_t offsetOf(int i) const {
        return dataStart + uint64_t{base + kFiles[i].lbaFromBase} * 2048;
    }

    void expectProgressOfAllFour() {
        EXPECT_EQ(recorder.begun, kRows);
        for (size_t i = 0; i < 4 && i < recorder.percents.size(); ++i) {
            EXPECT_EQ(recorder.percents[i], oneTo(kFiles[i].finalPercent)) << kFiles[i].name;
        }
    }

    const bool layerOne = GetParam() == Disc::Dvd9LayerOne;
    const uint32_t base = GetParam() == Disc::Cd ? 30 : 300;
    const uint8_t seed = layerOne ? 20 : 10;
    // Layer 1 starts 32768 bytes before the end of layer 0.
    const uint64_t dataStart = layerOne ? (base + 24) * 2048 - 32768 : 0;
    Bytes before;
    Bytes copyBefore;
};

TEST_P(OperationOnDisc, ExtractCopiesExactlyEachRecordedLength) {
    fs::create_directory(out);
    const auto report = extractFiles(snapshot(kRows), out, recorder);
    EXPECT_TRUE(report.failures.empty()) << report.failures.front().error.message;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(readFileBytes(out + "/" + kFiles[i].name), pattern(kFiles[i].size, seed + i));
    }
    expectProgressOfAllFour();
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_P(OperationOnDisc, BlankZerosExactlyEachRecordedLength) {
    const auto report = blankFiles(snapshot(kRows), recorder);
    EXPECT_TRUE(report.failures.empty()) << report.failures.front().error.message;
    auto expected = before;
    for (int i = 0; i < 4; ++i) {
        expected = withBytesAt(expected, offsetOf(i), Bytes(kFiles[i].size, 0));
    }
    EXPECT_EQ(readFileBytes(image), expected);
    expectProgressOfAllFour();
}

TEST_P(OperationOnDisc, OverwriteCutsALongerReplacementAndPadsAShorterOneWithZeros) {
    writeFileBytes(dir.file("longer"), pattern(6000, 99));
    ASSERT_TRUE(overwriteFile(snapshot({"BIG.BIN", "K.BIN"}), dir.file("longer"), recorder));
    const auto expected = withBytesAt(before, offsetOf(0), pattern(5000, 99));
    EXPECT_EQ(readFileBytes(image), expected);
    EXPECT_EQ(recorder.begun, Rows{"BIG.BIN"});

    auto shorter = pattern(300, 77);
    writeFileBytes(dir.file("shorter"), shorter);
    ASSERT_TRUE(overwriteFile(snapshot({"K.BIN"}), dir.file("shorter"), recorder));
    shorter.resize(1000, 0);
    EXPECT_EQ(readFileBytes(image), withBytesAt(expected, offsetOf(1), shorter));
}

std::string discName(const ::testing::TestParamInfo<Disc>& info) {
    constexpr const char* kNames[] = {"Cd", "Dvd5", "Dvd9LayerZero", "Dvd9LayerOne"};
    return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Discs, OperationOnDisc,
                         ::testing::Values(Disc::Cd, Disc::Dvd5, Disc::Dvd9LayerZero,
                                           Disc::Dvd9LayerOne),
                         discName);

TEST_F(OperationTest, AFileBeyondFourGiBThatEndsTheImageAndALowFileAfterItKeepTheirOffsets) {
    constexpr uint64_t kFar = uint64_t{2'200'000} * 2048;
    IsoBuilder builder(Layout::Dvd, "HUGE");
    builder.addFile(IsoBuilder::kRoot, fileAt("FAR.BIN;1", 2'200'000, 3000, pattern(3000, 1)));
    builder.addFile(IsoBuilder::kRoot, fileAt("NEAR.BIN;1", 300, 100, pattern(2048, 2)));
    builder.writeTo(image);  // sparse
    truncateFile(image, kFar + 3000);
    open();
    const auto low = [&] { return bytesAt(image, 0, 1 << 20); };
    const auto far = [&] { return bytesAt(image, kFar - 2048, 2048 + 3000); };
    const auto lowBefore = low();
    const auto farBefore = far();
    const Rows rows = {"FAR.BIN", "NEAR.BIN"};

    fs::create_directory(out);
    const auto extracted = extractFiles(snapshot(rows), out, recorder);
    EXPECT_TRUE(extracted.failures.empty()) << extracted.failures.front().error.message;
    EXPECT_EQ(readFileBytes(out + "/FAR.BIN"), pattern(3000, 1));
    EXPECT_EQ(readFileBytes(out + "/NEAR.BIN"), pattern(100, 2));

    auto replacement = pattern(1000, 3);
    writeFileBytes(dir.file("replacement"), replacement);
    ASSERT_TRUE(overwriteFile(snapshot(rows), dir.file("replacement"), recorder));
    replacement.resize(3000, 0);
    EXPECT_EQ(far(), withBytesAt(farBefore, 2048, replacement));

    const auto blanked = blankFiles(snapshot(rows), recorder);
    EXPECT_TRUE(blanked.failures.empty()) << blanked.failures.front().error.message;
    EXPECT_EQ(far(), withBytesAt(farBefore, 2048, Bytes(3000, 0)));
    EXPECT_EQ(low(), withBytesAt(lowBefore, 300 * 2048, Bytes(100, 0)));
    EXPECT_EQ(fs::file_size(image), kFar + 3000);
}

// A file, then one of three MiB (a hundred blocks, one per percent), then a third.
class StoppedOperationTest : public OperationTest {
protected:
    void SetUp() override {
        IsoBuilder builder(Layout::CdRomXa, "STOP");
        builder.addFile(IsoBuilder::kRoot, fileAt("ONE.BIN;1", 30, 3000, pattern(3000, 1)));
        builder.addFile(IsoBuilder::kRoot,
                        fileAt("TWO.BIN;1", kTwoLba, 3 << 20, pattern(3 << 20, 2)));
        builder.addFile(IsoBuilder::kRoot, fileAt("THREE.BIN;1", 1600, 100, pattern(100, 3)));
        builder.writeTo(image);
        open();
        fs::create_directory(out);
    }

    static constexpr uint32_t kTwoLba = 32;
    static constexpr size_t kTwoBlock = (3 << 20) / 100 + 1;
    const Rows rows = {"ONE.BIN", "TWO.BIN", "THREE.BIN"};
};

TEST_F(StoppedOperationTest, AStopDuringExtractionKeepsTheBlocksMovedAndStartsNoLaterFile) {
    recorder.stopWhen = [](const Recorder& r) {
        return r.percents.size() == 2 && !r.percents[1].empty() && r.percents[1].back() == 10;
    };
    const auto report = extractFiles(snapshot(rows), out, recorder);
    EXPECT_TRUE(report.stopped);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(readFileBytes(out + "/ONE.BIN"), pattern(3000, 1));
    EXPECT_EQ(recorder.begun, (Rows{"ONE.BIN", "TWO.BIN"}));
    EXPECT_EQ(recorder.percents.back(), oneTo(10));
    // The block moved before the stop was asked for is kept.
    EXPECT_EQ(readFileBytes(out + "/TWO.BIN"), pattern(11 * kTwoBlock, 2));
    EXPECT_FALSE(fs::exists(out + "/THREE.BIN"));

    // Asked before the first file, nothing is created.
    recorder.stopWhen = [](const Recorder&) { return true; };
    fs::create_directory(dir.file("none"));
    EXPECT_TRUE(extractFiles(snapshot(rows), dir.file("none"), recorder).stopped);
    EXPECT_TRUE(fs::is_empty(dir.file("none")));
}

TEST_F(StoppedOperationTest, BlankingIsAskedToStopOnlyBetweenFiles) {
    recorder.stopWhen = [](const Recorder& r) { return !r.begun.empty(); };
    const auto before = readFileBytes(image);
    const auto report = blankFiles(snapshot({"TWO.BIN", "THREE.BIN"}), recorder);
    EXPECT_TRUE(report.stopped);
    EXPECT_EQ(recorder.stopQuestions, 2);
    EXPECT_EQ(readFileBytes(image), withBytesAt(before, kTwoLba * 2048, Bytes(3 << 20, 0)));
}

TEST_F(StoppedOperationTest, AFileTheImageEndsInWhileItIsExtractedIsRemovedAndReported) {
    recorder.stopWhen = [this](const Recorder& r) {
        if (r.percents.size() == 2 && r.percents[1].empty()) {
            truncateFile(image, kTwoLba * 2048 + 100'000);
        }
        return false;
    };
    const auto report = extractFiles(snapshot(rows), out, recorder);
    EXPECT_EQ(failedRows(report), (Rows{"TWO.BIN", "THREE.BIN"}));
    EXPECT_EQ(report.failures[0].error.kind, ErrorKind::OutOfRange);
    EXPECT_FALSE(fs::exists(out + "/TWO.BIN"));
    EXPECT_EQ(readFileBytes(out + "/ONE.BIN"), pattern(3000, 1));
}

class RefusalTest : public OperationTest {
protected:
    void SetUp() override {
        IsoBuilder builder(Layout::CdRomXa, "REFUSE");
        builder.addFile(IsoBuilder::kRoot, fileAt("GOOD.BIN;1", 30, 100, pattern(100, 4)));
        for (const std::string& identifier :
             Rows{"A/B;1", ".;1", "..;1", ";1", std::string("A\0B;1", 5), "image.iso;1",
                  "LINK.BIN;1", "DANGLING.BIN;1", "FIFO.BIN;1", "OLD.BIN;1"}) {
            builder.addFile(IsoBuilder::kRoot, fileAt(identifier, 31, 10, pattern(10, 5)));
        }
        builder.addFile(IsoBuilder::kRoot, fileAt("FAR.BIN;1", 40, 5000, pattern(5000, 6)));
        builder.writeTo(image);
        truncateFile(image, 40 * 2048 + 2000);  // FAR.BIN's data runs past the end
        open();
        before = readFileBytes(image);
    }

    Bytes before;
};

TEST_F(RefusalTest, ExtractionRefusesNamesAndFilesInTheWayAndStillRunsTheOthers) {
    writeFileBytes(dir.file("target"), {'k', 'e', 'e', 'p'});
    fs::create_symlink(dir.file("target"), dir.file("LINK.BIN"));
    fs::create_symlink(dir.file("nothing"), dir.file("DANGLING.BIN"));
    ASSERT_EQ(::mkfifo(dir.file("FIFO.BIN").c_str(), 0600), 0);
    // With a reader on the pipe, only the check for a regular file keeps data out of it.
    const int reader = ::open(dir.file("FIFO.BIN").c_str(), O_RDONLY | O_NONBLOCK);
    writeFileBytes(dir.file("OLD.BIN"), Bytes(5000, 0xAA));

    const Rows refused = {
        "A/B",       ".",        "..",           "",         std::string("A\0B", 3),
        "image.iso", "LINK.BIN", "DANGLING.BIN", "FIFO.BIN", "FAR.BIN",
        "MISSING"};
    auto rows = refused;
    rows.insert(rows.begin() + 5, {"GOOD.BIN", "OLD.BIN"});
    const auto report = extractFiles(snapshot(rows), dir.path().string(), recorder);
    EXPECT_EQ(failedRows(report), refused);
    EXPECT_EQ(recorder.begun, (Rows{"GOOD.BIN", "OLD.BIN"}));
    EXPECT_EQ(readFileBytes(dir.file("GOOD.BIN")), pattern(100, 4));
    EXPECT_EQ(readFileBytes(dir.file("OLD.BIN")), pattern(10, 5));

    EXPECT_EQ(readFileBytes(image), before);
    EXPECT_EQ(readFileBytes(dir.file("target")), (Bytes{'k', 'e', 'e', 'p'}));
    char piped = 0;
    EXPECT_LE(::read(reader, &piped, 1), 0);
    ::close(reader);
    // Nothing else was created: image.iso, target, LINK, DANGLING, FIFO, GOOD and OLD.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 7);
}

TEST_F(RefusalTest, BlankingAndOverwriteWriteNothingForFilesTheyCannotHave) {
    const auto report = blankFiles(snapshot({"MISSING", "FAR.BIN", "GOOD.BIN"}), recorder);
    EXPECT_EQ(failedRows(report), (Rows{"MISSING", "FAR.BIN"}));
    EXPECT_EQ(report.failures[1].error.kind, ErrorKind::OutOfRange);
    const auto blanked = withBytesAt(before, 30 * 2048, Bytes(100, 0));
    EXPECT_EQ(readFileBytes(image), blanked);

    const auto replacement = dir.file("replacement");
    writeFileBytes(replacement, pattern(20, 9));
    fs::create_directory(dir.file("folder"));
    for (const auto& [row, from] :
         {std::pair{"MISSING", replacement}, std::pair{"FAR.BIN", replacement},
          std::pair{"OLD.BIN", dir.file("absent")}, std::pair{"OLD.BIN", dir.file("folder")}}) {
        SCOPED_TRACE(std::string(row) + " from " + from);
        EXPECT_FALSE(overwriteFile(snapshot({row}), from, recorder));
        EXPECT_EQ(readFileBytes(image), blanked);
    }
    EXPECT_EQ(recorder.begun, Rows{"GOOD.BIN"});
}

}  // namespace
}  // namespace kestrel
