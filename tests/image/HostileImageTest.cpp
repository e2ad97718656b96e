// Damaged and malicious images. Whatever their bytes, each must open or be refused with a
// reason, list every directory, find every listed row again, and let every operation either
// do its work or refuse it, writing only the bytes it owns; the checks behind that are the
// fuzz targets' own. Each case also pins what the image must show.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <tuple>

#include "fuzz/ImageChecks.h"
#include "image/ExtentMap.h"
#include "image/IsoLayout.h"
#include "ops/Blanking.h"
#include "ops/SessionFixtures.h"
#include "support/RawImages.h"
#include "support/RepeatingImages.h"
#include "support/TestFiles.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

constexpr uint64_t kCdPathTable = 19 * 2048;
constexpr size_t kDirectoriesExercised = 8;

// Both volumes of the image, every promise: see the file comment.
void expectPromisesKept(const std::string& image) {
    SCOPED_TRACE(image);
    TempDir scratch;
    const auto size = std::filesystem::file_size(image);
    const auto browseAndOperate = [&](Session& session) {
        checks::browseVolume(session);
        const auto directories =
            std::min(session.volume().directories.size(), kDirectoriesExercised);
        for (DirectoryNumber n = 1; n <= directories; ++n) {
            checks::exerciseOperations(session, n, scratch.path().string());
        }
    };
    try {
        auto session = checks::openImage(image, scratch.file("layer1.tmp"));
        if (session) {
            browseAndOperate(*session);
            if (session->volume().isDvd &&
                session->checkDualLayer().verdict == DualLayerCheck::Verdict::DualLayer &&
                session->switchLayers()) {
                browseAndOperate(*session);
            }
        }
    } catch (const checks::BrokenPromise& broken) {
        ADD_FAILURE() << broken.what();
    }
    EXPECT_EQ(std::filesystem::file_size(image), size);
}

using HostileImage = SessionTest;

// Every place where one structure ends and the next begins, where a cut or a bad length
// byte does the most harm: the descriptor's fields, each path-table record, each directory
// record's length, extent, identifier and end, and each file's data.
std::vector<uint64_t> structureBoundaries(const IsoBuilder& builder, uint64_t pathTable) {
    std::vector<uint64_t> at = {0x8000, 0x8028, 0x8028 + 49, 0x8050, 0x8054,
                                0x809C, 0x8400, 0x8402,      0x8800};
    for (const uint64_t record : {0, 10, 22, 34, 46}) {  // the root's, DOCS's, ODD's, DEEP's, end
        at.insert(at.end(), {pathTable + record, pathTable + record + 8});
    }
    for (int directory = 1; directory <= 4; ++directory) {
        const uint64_t extent = uint64_t{builder.directoryLba(directory)} * 2048;
        at.insert(at.end(), {extent, extent + 10, extent + 34, extent + 96, extent + 2048});
    }
    for (const char* name : {"A.TXT;1", "C.TXT;1"}) {
        const auto record = builder.recordOffset(IsoBuilder::kRoot, name);
        at.insert(at.end(),
                  {record, record + 2, record + 10, record + 32, record + 33, record + 33 + 7});
    }
    return at;
}

TEST_F(HostileImage, CutAtEveryStructureBoundaryItOpensOrIsRefusedAndEveryPromiseHolds) {
    using Variant = std::tuple<Layout, uint8_t, uint64_t>;
    for (const auto& [layout, systemUse, pathTable] :
         {Variant{Layout::CdRomXa, 14, kCdPathTable}, Variant{Layout::Dvd, 14, 258 * 2048},
          Variant{Layout::CdRomXa, 0, kCdPathTable}}) {
        const auto builder = sampleVolume(layout, systemUse);
        builder.writeTo(image);
        const auto pristine = readFileBytes(image);
        for (const uint64_t boundary : structureBoundaries(builder, pathTable)) {
            for (const uint64_t cut : {boundary - 1, boundary, boundary + 1}) {
                writeFileBytes(image, pristine);
                std::filesystem::resize_file(image, cut);
                expectPromisesKept(image);
            }
        }
    }
}

TEST_F(HostileImage, RandomlyDamagedStructuresKeepEveryPromise) {
    const auto builder = sampleVolume();
    builder.writeTo(image);
    const auto pristine = readFileBytes(image);
    const uint64_t structuresEnd = uint64_t{builder.directoryLba(4) + 3} * 2048;
    std::mt19937 random(20261206);
    std::uniform_int_distribution<uint64_t> where(0x8000, structuresEnd - 1);
    std::uniform_int_distribution<int> what(0, 255);
    for (int round = 0; round < 100; ++round) {
        auto bytes = pristine;
        for (int hit = 0; hit < 1 + round % 20; ++hit) {
            bytes[where(random)] = static_cast<uint8_t>(what(random));
        }
        writeFileBytes(image, bytes);
        expectPromisesKept(image);
    }
}

// B.TXT's record, between A.TXT's and C.TXT's, given bad bytes: the walk ends at a record that
// is not whole, and keeps the rows before it.
TEST_F(HostileImage, ARecordThatIsNotWholeEndsTheWalk) {
    const auto builder = sampleVolume();
    builder.writeTo(image);
    const auto pristine = readFileBytes(image);
    const auto record = builder.recordOffset(IsoBuilder::kRoot, "B.TXT;1");
    const uint8_t length = pristine[record];
    const Rows onlyA = {"A.TXT"};
    struct Case {
        std::vector<std::pair<size_t, uint8_t>> bytes;  // at offsets into the record
        std::optional<uint64_t> cutAt;
        Rows rows;
    };
    const std::vector<Case> cases = {
        {{{0, 0}}, {}, onlyA},  // a zero length ends the sector, and it holds no more
        {{{0, 1}}, {}, onlyA},
        {{{0, 33}, {32, 0}}, {}, onlyA},  // every field, but no room for an identifier
        {{{32, uint8_t(length - 33 + 1)}}, {}, onlyA},  // the identifier runs past the record
        {{}, record + 40, onlyA},                       // the image ends inside the record
        {{}, record, onlyA},
        {{{32, 0}}, {}, {"C.TXT", "", "A.TXT"}},   // listed with no name, and found again
        {{{32, 1}}, {}, {"C.TXT", "B", "A.TXT"}},  // no version: the whole identifier
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(::testing::PrintToString(test.bytes) + " cut at " +
                     std::to_string(test.cutAt.value_or(0)));
        writeFileBytes(image, pristine);
        for (const auto& [field, value] : test.bytes) {
            overwriteBytes(image, record + field, {value});
        }
        if (test.cutAt) {
            std::filesystem::resize_file(image, *test.cutAt);
        }
        auto session = openSession(image, copy);
        EXPECT_EQ(listedNames(session), test.rows);
        expectPromisesKept(image);
    }
}

// AA, BB and CC under the root: path-table records of 10 bytes each, the root's first, with
// their parent numbers at byte 6.
TEST_F(HostileImage, PathTableRecordsThatCannotBeTrustedStillMakeATree) {
    IsoBuilder builder(Layout::CdRomXa, "TABLE");
    for (const char* name : {"AA", "BB", "CC"}) {
        builder.addDirectory(IsoBuilder::kRoot, name);
    }
    builder.writeTo(image);
    const auto pristine = readFileBytes(image);
    const auto parent = [&](int number, uint8_t parent) {
        overwriteBytes(image, kCdPathTable + 10 * (number - 1) + 6, {parent, 0});
    };
    struct Case {
        std::string name;
        std::function<void()> damage;
        Rows tree;  // identifier<-parent
    };
    const std::vector<Case> cases = {
        // A parent that names no earlier directory is read as the root.
        {"ForwardItselfAndEarlier",
         [&] { parent(2, 3), parent(3, 3), parent(4, 2); },
         {"<-0", "AA<-1", "BB<-1", "CC<-2"}},
        {"None", [&] { parent(4, 0); }, {"<-0", "AA<-1", "BB<-1", "CC<-1"}},
        {"IdentifierPastTheEndOfTheFile",
         [&] { std::filesystem::resize_file(image, kCdPathTable + 30 + 8 + 1); },
         {"<-0", "AA<-1", "BB<-1"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        writeFileBytes(image, pristine);
        test.damage();
        Rows tree;
        const auto session = openSession(image, copy);
        for (const auto& directory : session.volume().directories) {
            tree.push_back(directory.identifier + "<-" + std::to_string(directory.parent));
        }
        EXPECT_EQ(tree, test.tree);
        expectPromisesKept(image);
    }
}

TEST_F(HostileImage, APathTableOfSeventyThousandEntriesStopsAtTheLastNumberAParentCanName) {
    IsoBuilder builder(Layout::CdRomXa, "MANY");
    builder.setVolumeSectors(1000);
    builder.writeTo(image);
    // The root moves to sector 900, out of the table's way.
    constexpr uint32_t lba = 900;
    const auto root = readBytesAt(image, uint64_t{builder.directoryLba(1)} * 2048, 2048);
    overwriteBytes(image, lba * 2048, Bytes(root.begin(), root.end()));
    overwriteBytes(image, 0x809C + 2, recordFields(lba));
    Bytes table = {1, 0, uint8_t(lba), uint8_t(lba >> 8), 0, 0, 1, 0, 0, 0};
    for (uint32_t n = 2; n <= 70000; ++n) {
        // One-letter directories, each under the one before it where the number fits, each
        // naming the root's extent: a repeat of the root, so hung under it.
        const uint16_t parent = static_cast<uint16_t>(n - 1);
        table.insert(table.end(), {1, 0, uint8_t(lba), uint8_t(lba >> 8), 0, 0, uint8_t(parent),
                                   uint8_t(parent >> 8), 'D', 0});
    }
    overwriteBytes(image, kCdPathTable, table);
    auto session = openSession(image, copy);
    ASSERT_EQ(session.volume().directories.size(), 65535u);
    EXPECT_EQ(session.volume().directories.back().parent, 1);
    EXPECT_EQ(session.volume().directories.back().sameAs, 1u);
    const auto repeat = session.listDirectory(65535);
    ASSERT_TRUE(repeat);
    EXPECT_TRUE(repeat->rows.empty());
    expectPromisesKept(image);
}

// Each directory extent is listed and mapped once, each record once, and no path is deeper
// than the walk from the root goes, however often the path table names them: the work
// follows the image.
TEST_F(HostileImage, DirectoriesTheTableNamesAgainAndAgainAreListedAndMappedOnce) {
    for (const auto& crafted : kRepeatingImages) {
        SCOPED_TRACE(crafted.name);
        if (crafted.write == writeRootNamedAgainAndAgain && !haveCommand("genisoimage")) {
            continue;
        }
        crafted.write(image);
        auto session = openSession(image, copy);
        try {
            checks::browseVolume(session);
        } catch (const checks::BrokenPromise& broken) {
            ADD_FAILURE() << broken.what();
        }
        const auto& directories = session.volume().directories;
        size_t repeats = 0;
        size_t rows = 0;
        for (const auto& directory : directories) {
            repeats += directory.sameAs != 0;
            rows += listedNames(session, directory.number).size();
        }
        const auto map = mapVolume(session.presentedSource(), session.volume());
        ASSERT_TRUE(map);
        size_t mapped = 0;
        for (const auto& extent : map->extents) {
            mapped += extent.kind == ExtentKind::File ? extent.owners.size() : 0;
        }
        EXPECT_EQ(directories.size() - repeats, crafted.distinctDirectories);
        EXPECT_EQ(repeats, crafted.repeats);
        EXPECT_EQ(rows, crafted.rows);
        EXPECT_EQ(mapped, rows);
    }
}

// Extents whose byte offset, or whose end, lies beyond 2^32: computed in 32 bits, each would
// land on the volume descriptor at byte 0x8000 or on another file.
TEST_F(HostileImage, ExtentsAndSizesNearTwoToThe32NeverWrapIntoTheImage) {
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
    builder.writeTo(image);
    for (const auto& [identifier, lba, size] : files) {
        overwriteBytes(image, builder.recordOffset(IsoBuilder::kRoot, identifier) + 2,
                       recordFields(lba, size));
    }
    // FAR's extent moved 2^21 sectors on: 4 GiB past its real one.
    const uint32_t farLba = builder.directoryLba(far) + (1u << 21);
    overwriteBytes(image, kCdPathTable + 10 + 2, le32(farLba));  // its path-table record
    const auto before = readFileBytes(image);

    auto session = openSession(image, copy);
    EXPECT_TRUE(listedNames(session, far).empty());

    Recorder quiet;
    const Rows all = {"WRAP.BIN", "SIGNED.BIN", "TOP.BIN", "HUGE.BIN"};
    const auto report = blankFiles(session.snapshot(IsoBuilder::kRoot, all), quiet);
    ASSERT_EQ(report.failures.size(), all.size());
    for (const auto& failure : report.failures) {
        EXPECT_EQ(failure.error.kind, ErrorKind::OutOfRange) << failure.rowName;
        EXPECT_NE(failure.error.message.find("runs past the end of " + image), std::string::npos)
            << failure.error.message;
    }
    EXPECT_EQ(readFileBytes(image), before);
    expectPromisesKept(image);
}

TEST_F(HostileImage, ALayerOneThatCannotBeReadIsReportedAndLayerZeroStaysAtHand) {
    auto layer0 = sampleVolume(Layout::Dvd);
    const uint64_t layer0Bytes = uint64_t{layer0.volumeSectors()} * 2048;

    // A descriptor header right behind layer 0, and nothing else of a volume.
    const Bytes header = {1, 'C', 'D', '0', '0', '1', 1};
    layer0.writeTo(image);
    overwriteBytes(image, layer0Bytes, header);
    std::filesystem::resize_file(image, layer0Bytes + 2048);
    auto session = openSession(image, copy);
    ASSERT_EQ(session.checkDualLayer().verdict, DualLayerCheck::Verdict::DualLayer);
    const auto layerOne = session.switchLayers();
    ASSERT_FALSE(layerOne);
    EXPECT_NE(layerOne.error().message.find("layer 1 of " + image), std::string::npos);
    EXPECT_TRUE(session.presentsLayerOne());
    EXPECT_TRUE(session.volume().directories.empty());
    ASSERT_TRUE(session.switchLayers());
    EXPECT_EQ(listedNames(session), (Rows{"C.TXT", "B.TXT", "A.TXT"}));
    expectPromisesKept(image);

    // Layer 1 is random bytes behind its descriptor header, half of them classed as a DVD.
    std::mt19937 random(93213);
    for (int round = 0; round < 6; ++round) {
        layer0.writeTo(image);
        Bytes garbage(700 * 1024);
        std::generate(garbage.begin(), garbage.end(), [&] { return uint8_t(random()); });
        std::copy(header.begin(), header.end(), garbage.begin() + 0x8000);
        if (round % 2 == 0) {
            std::fill_n(garbage.begin() + 0x8400, 2, 0);
            std::fill_n(garbage.begin() + 0x8050, 4, 0);
        }
        overwriteBytes(image, layer0Bytes - 32768, garbage);
        expectPromisesKept(image);
    }
}

// Raw images and cue sheets that cannot be read are refused with the reason and left as they
// were; damaged sectors inside a readable one end what reads them, and every promise holds.
TEST_F(HostileImage, RawImagesAndCueSheetsThatCannotBeReadAreRefusedWithTheReason) {
    const auto bin = dir.file("image.bin");
    const auto cue = dir.file("image.cue");
    const auto writeText = [&](const std::string& text) {
        writeFileBytes(cue, Bytes(text.begin(), text.end()));
    };
    const auto sheet = [&](const std::string& file, const std::string& index) {
        writeText("FILE \"" + file + "\" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 " + index +
                  "\n");
    };
    const uint64_t descriptor = 16 * 2352;
    const std::vector<std::tuple<const char*, std::function<void()>, std::string>> cases = {
        {"BadSync", [&] { overwriteBytes(bin, descriptor + 3, {0}); },
         "does not start with the sync pattern"},
        {"WrongModeByte", [&] { overwriteBytes(bin, descriptor + 15, {2}); },
         "header says mode 2 in a Mode 1 track"},
        {"NamesItself", [&] { sheet("image.cue", "00:00:00"); }, "names itself"},
        {"HugeIndex", [&] { sheet("image.bin", "999999:59:74"); }, "beyond the end of its data"},
        {"IndexPastSixDigits", [&] { sheet("image.bin", "99999999999999999999:00:00"); },
         "is not a position"},
        {"TrackBeyondTheFile", [&] { sheet("image.bin", "10:00:00"); }, "beyond the end"},
        {"TruncatedLastSector",
         [&] { std::filesystem::resize_file(bin, std::filesystem::file_size(bin) - 100); },
         "cut-short sector"},
        {"MissingFile", [&] { sheet("gone.bin", "00:00:00"); }, "cannot be opened"},
        {"OutsideItsFolder", [&] { sheet("../image.bin", "00:00:00"); }, "not a file beside it"},
        {"NoDataTrack", [&] { writeText("FILE \"image.bin\" BINARY\n TRACK 01 AUDIO\n"); },
         "its tracks: \"TRACK 01 AUDIO\""},
    };
    for (const auto& [name, damage, reason] : cases) {
        SCOPED_TRACE(name);
        sampleVolume().writeTo(dir.file("image.iso"));
        writeRawTwin(dir.file("image.iso"));
        damage();
        const auto before = readFileBytes(bin);
        const auto refused = Session::open(cue, copy);
        ASSERT_FALSE(refused);
        EXPECT_NE(refused.error().message.find(reason), std::string::npos)
            << refused.error().message;
        EXPECT_TRUE(readFileBytes(bin) == before);
    }

    // A's data, DEEP's second sector, and the root's sector with a header of another mode.
    auto builder = sampleVolume(Layout::CdRomXa, 14);
    builder.writeTo(dir.file("image.iso"));
    const auto extent = readBytesAt(dir.file("image.iso"),
                                    builder.recordOffset(IsoBuilder::kRoot, "A.TXT;1") + 2, 1);
    for (const uint64_t lba : {uint64_t{builder.directoryLba(4)} + 1,
                               uint64_t{builder.directoryLba(1)}, uint64_t(uint8_t(extent[0]))}) {
        for (const auto& [at, byte] : {std::pair{3, 0}, std::pair{15, 2}}) {
            writeRawTwin(dir.file("image.iso"));
            overwriteBytes(bin, lba * 2352 + at, {uint8_t(byte)});
            expectPromisesKept(cue);
        }
    }
}

}  // namespace
}  // namespace kestrel
