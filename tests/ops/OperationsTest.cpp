#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <numeric>

#include <gtest/gtest.h>

#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "ops/Overwrite.h"
#include "ops/SessionFixtures.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

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

using OperationTest = SessionTest;

class OperationOnDisc : public SessionTest, public ::testing::WithParamInterface<Disc> {
protected:
    void SetUp() override {
        openDisc(GetParam());
        before = readFileBytes(image);
        if (layerOne) {
            copyBefore = readFileBytes(copy);
        }
    }

    void expectProgressOfAllFour() {
        constexpr int kFinalPercents[] = {98, 90, 40, 0};
        EXPECT_EQ(recorder.begun, allFour);
        for (size_t i = 0; i < 4 && i < recorder.percents.size(); ++i) {
            EXPECT_EQ(recorder.percents[i], oneTo(kFinalPercents[i])) << allFour[i];
        }
    }

    const Rows allFour = {"BIG.BIN", "K.BIN", "T.BIN", "Z.BIN"};
    Bytes before;
    Bytes copyBefore;
};

TEST_P(OperationOnDisc, EachOperationWritesExactlyWhatItOwns) {
    const auto extracted = extractFiles(snapshot(allFour), out, recorder);
    EXPECT_TRUE(extracted.failures.empty()) << extracted.failures.front().error.message;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(readFileBytes(out + "/" + files[i].name), pattern(files[i].size, seed + i));
    }
    expectProgressOfAllFour();
    EXPECT_EQ(readFileBytes(image), before);

    // A longer replacement gives its first bytes, a shorter one is followed by zeros.
    recorder = Recorder{};
    writeFileBytes(dir.file("longer"), pattern(6000, 99));
    ASSERT_TRUE(overwriteFile(snapshot({"BIG.BIN", "K.BIN"}), dir.file("longer"), recorder));
    EXPECT_EQ(recorder.begun, Rows{"BIG.BIN"});
    auto shorter = pattern(300, 77);
    writeFileBytes(dir.file("shorter"), shorter);
    ASSERT_TRUE(overwriteFile(snapshot({"K.BIN"}), dir.file("shorter"), recorder));
    ASSERT_TRUE(overwriteFile(snapshot({"Z.BIN"}), dir.file("shorter"), recorder));
    shorter.resize(1000, 0);
    auto expected = withBytesAt(before, dataInImage(0), pattern(5000, 99));
    EXPECT_EQ(readFileBytes(image), withBytesAt(expected, dataInImage(1), shorter));

    recorder = Recorder{};
    const auto blanked = blankFiles(snapshot(allFour), recorder);
    EXPECT_TRUE(blanked.failures.empty()) << blanked.failures.front().error.message;
    for (int i = 0; i < 4; ++i) {
        expected = withBytesAt(expected, dataInImage(i), Bytes(files[i].size, 0));
    }
    EXPECT_EQ(readFileBytes(image), expected);
    expectProgressOfAllFour();

    // Relink and Modify TOC rewrite records only: on layer 1 in the image and in its copy.
    const auto master = chooseMasterFile(*session, IsoBuilder::kRoot, "BIG.BIN");
    ASSERT_TRUE(master);
    EXPECT_FALSE(relinkFiles(*session, IsoBuilder::kRoot, {"K.BIN"}, *master, true).failure);
    EXPECT_FALSE(relinkFiles(*session, IsoBuilder::kRoot, {"T.BIN"}, *master, false).failure);
    const auto shown = session->findRecord(IsoBuilder::kRoot, "Z.BIN");
    ASSERT_TRUE(shown && modifyToc(*session, IsoBuilder::kRoot, *shown, {7, 9}));
    auto copyExpected = copyBefore;
    for (const auto& [name, fields] :
         {std::pair{"K.BIN", recordFields(base, 5000)}, std::pair{"T.BIN", recordFields(base)},
          std::pair{"Z.BIN", recordFields(7, 9)}}) {
        expected = withBytesAt(expected, recordInImage(name), fields);
        copyExpected = layerOne ? withBytesAt(copyExpected, recordFieldsAt(name), fields) : Bytes{};
    }
    EXPECT_EQ(readFileBytes(image), expected);
    EXPECT_EQ(layerOne ? readFileBytes(copy) : Bytes{}, copyExpected);

    // Undo reverts every edit, newest first (Z.BIN's overwrite of no bytes left none);
    // undoing the last undo makes its edit again.
    const auto lastUndoable = [&] { return session->journal()->lastUndoable().value(); };
    for (int edits = 0; edits < 6; ++edits) {
        ASSERT_TRUE(lastUndoable());
        const auto undone = session->undo(lastUndoable()->id);
        ASSERT_TRUE(undone) << undone.error().message;
    }
    EXPECT_FALSE(lastUndoable());
    EXPECT_TRUE(readFileBytes(image) == before);
    EXPECT_EQ(layerOne ? readFileBytes(copy) : Bytes{}, copyBefore);
    ASSERT_TRUE(session->undo(session->journal()->history()->back().id));
    EXPECT_TRUE(readFileBytes(image) == withBytesAt(before, dataInImage(0), pattern(5000, 99)));
}

INSTANTIATE_TEST_SUITE_P(Discs, OperationOnDisc,
                         ::testing::Values(Disc::Cd, Disc::Dvd5, Disc::Dvd9LayerZero,
                                           Disc::Dvd9LayerOne),
                         [](const auto& info) {
                             return std::string(std::array{"Cd", "Dvd5", "Dvd9LayerZero",
                                                           "Dvd9LayerOne"}[int(info.param)]);
                         });

// DOCS's records and FAR.BIN's data lie beyond 4 GiB, FAR.BIN's ending the image; NEAR.BIN's
// data lies low. Each read and write lands where they lie, not 4 GiB lower.
TEST_F(OperationTest, RecordsAndDataBeyondFourGiBAreReadAndWrittenWhereTheyLie) {
    constexpr uint32_t kDocsLba = 2'200'000;
    constexpr uint64_t kDocs = uint64_t{kDocsLba} * 2048;
    IsoBuilder builder(Layout::Dvd, "HUGE");
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    builder.addFile(docs, fileAt("FAR.BIN;1", kDocsLba + 1, 3000, pattern(3000, 1)));
    builder.addFile(docs, fileAt("NEAR.BIN;1", 300, 100, pattern(2048, 2)));
    builder.writeTo(image);  // sparse
    const uint64_t docsWas = uint64_t{builder.directoryLba(docs)} * 2048;
    overwriteBytes(image, kDocs, bytesAt(image, docsWas, 2048));
    overwriteBytes(image, 258 * 2048 + 10 + 2, le32(kDocsLba));  // DOCS's path-table extent
    fs::resize_file(image, kDocs + 2048 + 3000);
    open();
    ASSERT_EQ(listedNames(*session, docs), (Rows{"NEAR.BIN", "FAR.BIN"}));
    const auto low = [&] { return bytesAt(image, 0, 1 << 20); };
    const auto far = [&] { return bytesAt(image, kDocs, 2048 + 3000); };
    const auto lowBefore = low();
    const auto farBefore = far();
    const Rows rows = {"FAR.BIN", "NEAR.BIN"};

    const auto extracted = extractFiles(session->snapshot(docs, rows), out, recorder);
    EXPECT_TRUE(extracted.failures.empty()) << extracted.failures.front().error.message;
    EXPECT_EQ(readFileBytes(out + "/FAR.BIN"), pattern(3000, 1));
    EXPECT_EQ(readFileBytes(out + "/NEAR.BIN"), pattern(100, 2));

    auto replacement = pattern(1000, 3);
    writeFileBytes(dir.file("replacement"), replacement);
    ASSERT_TRUE(overwriteFile(session->snapshot(docs, rows), dir.file("replacement"), recorder));
    replacement.resize(3000, 0);
    EXPECT_EQ(far(), withBytesAt(farBefore, 2048, replacement));

    const auto blanked = blankFiles(session->snapshot(docs, rows), recorder);
    EXPECT_TRUE(blanked.failures.empty()) << blanked.failures.front().error.message;
    auto farExpected = withBytesAt(farBefore, 2048, Bytes(3000, 0));
    const auto near = session->findRecord(docs, "NEAR.BIN");
    ASSERT_TRUE(near && modifyToc(*session, docs, *near, {7, 9}));
    const auto nearRecord = builder.recordOffset(docs, "NEAR.BIN;1") - docsWas + 2;
    EXPECT_EQ(far(), withBytesAt(farExpected, nearRecord, recordFields(7, 9)));
    EXPECT_EQ(low(), withBytesAt(lowBefore, 300 * 2048, Bytes(100, 0)));
    EXPECT_EQ(fs::file_size(image), kDocs + 2048 + 3000);
}

// A file, then one of three MiB (a hundred blocks, one per percent), then a third.
class StoppedOperationTest : public OperationTest {
protected:
    void SetUp() override {
        rootFiles(Layout::CdRomXa, "STOP",
                  {{"ONE.BIN", 30, 3000}, {"TWO.BIN", kTwoLba, 3 << 20}, {"THREE.BIN", 1600, 100}})
            .writeTo(image);
        open();
    }

    static constexpr uint32_t kTwoLba = 32;
    static constexpr size_t kTwoPercent = (3 << 20) / 100 + 1;
    const Rows rows = {"ONE.BIN", "TWO.BIN", "THREE.BIN"};
};

TEST_F(StoppedOperationTest, AStopDuringExtractionKeepsTheBlocksMovedAndStartsNoLaterFile) {
    recorder.stopWhen = [](const Recorder& r) {
        return r.percents.size() == 2 && !r.percents[1].empty() && r.percents[1].back() >= 10;
    };
    const auto report = extractFiles(snapshot(rows), out, recorder);
    EXPECT_TRUE(report.stopped);
    EXPECT_TRUE(report.failures.empty());
    EXPECT_EQ(readFileBytes(out + "/ONE.BIN"), pattern(3000, 1));
    EXPECT_EQ(recorder.begun, (Rows{"ONE.BIN", "TWO.BIN"}));
    // The blocks moved up to the stop are kept, and every value they passed was shown.
    const size_t kept = 3 * kTransferBlockSize;
    EXPECT_EQ(recorder.percents.back(), oneTo(static_cast<int>(kept / kTwoPercent)));
    EXPECT_EQ(readFileBytes(out + "/TWO.BIN"), pattern(kept, 2));
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
        if (r.percents.size() == 2) {
            fs::resize_file(image, kTwoLba * 2048 + 100'000);
        }
        return false;
    };
    const auto report = extractFiles(snapshot(rows), out, recorder);
    ASSERT_EQ(failedRows(report), (Rows{"TWO.BIN", "THREE.BIN"}));
    EXPECT_EQ(report.failures[0].error.kind, ErrorKind::OutOfRange);
    EXPECT_FALSE(fs::exists(out + "/TWO.BIN"));
    EXPECT_EQ(readFileBytes(out + "/ONE.BIN"), pattern(3000, 1));
}

TEST_F(OperationTest, ExtractionRefusesNamesAndFilesInTheWayAndStillRunsTheOthers) {
    IsoBuilder builder(Layout::CdRomXa, "REFUSE");
    builder.addFile(IsoBuilder::kRoot, fileAt("GOOD.BIN;1", 30, 100, pattern(100, 4)));
    for (const std::string& identifier :
         Rows{"A/B;1", "../ESCAPE;1", ".;1", "..;1", ";1", std::string("A\0B;1", 5), "image.iso;1",
              "LINK.BIN;1", "DANGLING.BIN;1", "FIFO.BIN;1", "OLD.BIN;1"}) {
        builder.addFile(IsoBuilder::kRoot, fileAt(identifier, 31, 10, pattern(10, 5)));
    }
    builder.addFile(IsoBuilder::kRoot, fileAt("FAR.BIN;1", 40, 5000, pattern(5000, 6)));
    builder.writeTo(image);
    fs::resize_file(image, 40 * 2048 + 2000);  // FAR.BIN's data runs past the end
    open();
    const auto before = readFileBytes(image);
    writeFileBytes(dir.file("target"), {'k', 'e', 'e', 'p'});
    fs::create_symlink(dir.file("target"), dir.file("LINK.BIN"));
    fs::create_symlink(dir.file("nothing"), dir.file("DANGLING.BIN"));
    ASSERT_EQ(::mkfifo(dir.file("FIFO.BIN").c_str(), 0600), 0);
    // With a reader on the pipe, only the check for a regular file keeps data out of it.
    const int reader = ::open(dir.file("FIFO.BIN").c_str(), O_RDONLY | O_NONBLOCK);
    writeFileBytes(dir.file("OLD.BIN"), Bytes(5000, 0xAA));

    const Rows refused = {"A/B",       "../ESCAPE", ".",
                          "..",        "",          std::string("A\0B", 3),
                          "image.iso", "LINK.BIN",  "DANGLING.BIN",
                          "FIFO.BIN",  "FAR.BIN",   "MISSING"};
    auto rows = refused;
    rows.insert(rows.begin() + 6, {"GOOD.BIN", "OLD.BIN"});
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
    // Nothing else was created: image.iso, out, target, LINK, DANGLING, FIFO, GOOD and OLD.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 8);
}

}  // namespace
}  // namespace kestrel
