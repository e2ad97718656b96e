// A raw image and its cooked twin, edited side by side: every listing, extraction and edit
// must give the same rows and leave the raw image's user data equal to the cooked image, with
// every sector's codes holding, and bchunk must turn the edited BIN/CUE into the cooked image.
#include <filesystem>

#include <gtest/gtest.h>

#include "io/SectorCodes.h"
#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "ops/Overwrite.h"
#include "ops/Replace.h"
#include "ops/SessionFixtures.h"
#include "support/RawImages.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

// A directory whose data lies at kFarLba puts its records and its files' data past 2 GiB in
// the cooked image and in the raw one.
constexpr uint32_t kFarLba = 1'000'000;
constexpr uint32_t kLowSectors = 300;

struct RawCase {
    const char* name;
    uint8_t systemUse;  // 14 gives the fixed layout, 0 the descriptor layout
    RawMode mode;
    bool openCue;  // else the .bin is chosen
    bool far;
};

struct Region {
    uint64_t lba;
    uint64_t sectors;
};

class RawTwinTest : public SessionTest, public ::testing::WithParamInterface<RawCase> {
protected:
    void SetUp() override {
        const RawCase& param = GetParam();
        auto builder = sampleVolume(Layout::CdRomXa, param.systemUse);
        constexpr int kDocs = 2;  // the sample volume's first directory
        directory = param.far ? kDocs : IsoBuilder::kRoot;
        const uint32_t base = param.far ? kFarLba + 1 : 200;
        const std::vector<Placed> placed = {{"BIG.BIN", base, 5000},
                                            {"K.BIN", base + 3, 1000},
                                            {"T.BIN", base + 4, 40},
                                            {"STREAM.XA", base + 5, 4 * 2048}};
        for (size_t i = 0; i < placed.size(); ++i) {
            const auto& [name, lba, size] = placed[i];
            builder.addFile(directory, fileAt(name + ";1", lba, size,
                                              pattern((size / 2048 + 1) * 2048, uint8_t(i + 1))));
        }
        builder.setVolumeSectors(param.far ? kFarLba + 12 : kLowSectors);
        builder.writeTo(image);
        RawEncoding encoding{param.mode, {}};
        if (param.mode == RawMode::Mode2) {
            encoding.form2 = {{base + 5, 2, true}, {base + 6 + 1, 2, false}};
        }
        regions = {{0, kLowSectors}};
        if (param.far) {
            moveDirectory(builder, kDocs);
            regions.push_back({kFarLba, 12});
        }
        twin = writeLowTwin(encoding);
        if (param.far) {
            writeSectors(regions.back(), encoding);
        }
        rawBefore = regionBytes(twin.bin, kRawSectorSize);
        cookedBefore = regionBytes(image, 2048);
        cooked = openSession(image, copy);
        raw = openSession(param.openCue ? twin.cue : twin.bin, copy);
    }

    // The directory's sector moves to kFarLba, as the path table says.
    void moveDirectory(const IsoBuilder& builder, int docs) {
        // In the low twin the directory keeps its old place, which nothing reads.
        const uint64_t was = uint64_t{builder.directoryLba(docs)} * 2048;
        overwriteBytes(image, uint64_t{kFarLba} * 2048, bytesAt(image, was, 2048));
        overwriteBytes(image, 19 * 2048 + 10 + 2, le32(kFarLba));
    }

    // The raw twin of the image's low sectors only: the sectors between them and the far ones
    // stay a hole, which no walk or edit reaches.
    RawTwin writeLowTwin(const RawEncoding& encoding) {
        const std::string low = dir.file("raw.iso");
        writeFileBytes(low, bytesAt(image, 0, kLowSectors * 2048));
        return writeRawTwin(low, encoding);
    }

    void writeSectors(const Region& region, const RawEncoding& encoding) {
        Bytes sectors(region.sectors * kRawSectorSize);
        const auto cookedBytes = bytesAt(image, region.lba * 2048, region.sectors * 2048);
        for (uint64_t i = 0; i < region.sectors; ++i) {
            isobuilder::encodeSector(
                std::span(sectors).subspan(i * kRawSectorSize).first<kRawSectorSize>(),
                static_cast<uint32_t>(region.lba + i),
                std::span(cookedBytes).subspan(i * 2048, 2048), encoding);
        }
        overwriteBytes(twin.bin, region.lba * kRawSectorSize, sectors);
    }

    static Bytes bytesAt(const std::string& path, uint64_t offset, size_t count) {
        const auto bytes = readBytesAt(path, offset, count);
        return {bytes.begin(), bytes.end()};
    }

    // The bytes of every region, which for an image without far sectors is the whole file.
    Bytes regionBytes(const std::string& path, uint64_t sectorSize) const {
        Bytes bytes;
        for (const auto& [lba, sectors] : regions) {
            const auto region = bytesAt(path, lba * sectorSize, sectors * sectorSize);
            bytes.insert(bytes.end(), region.begin(), region.end());
        }
        return bytes;
    }

    // The raw image's user data equals the cooked image and every sector's codes hold.
    void expectTwins(const std::string& after) {
        for (const auto& [lba, sectors] : regions) {
            EXPECT_TRUE(rawUserData(twin.bin, lba, sectors) ==
                        bytesAt(image, lba * 2048, sectors * 2048))
                << after << ", sectors " << lba << " on";
            const auto rawBytes = bytesAt(twin.bin, lba * kRawSectorSize, sectors * kRawSectorSize);
            for (uint64_t i = 0; i < sectors; ++i) {
                EXPECT_TRUE(sectorCodesHold(
                    ConstRawSector(rawBytes.data() + i * kRawSectorSize, kRawSectorSize)))
                    << after << ", sector " << lba + i;
            }
        }
    }

    // Runs `edit` on both sessions, which must agree on whether it worked.
    void onBoth(const std::string& what, const std::function<bool(Session&)>& edit) {
        const bool cookedDone = edit(*cooked);
        EXPECT_EQ(edit(*raw), cookedDone) << what;
        expectTwins(what);
    }

    OperationSnapshot snap(Session& session, const Rows& rows) {
        return session.snapshot(directory, rows);
    }

    const Rows rows = {"BIG.BIN", "K.BIN", "T.BIN", "STREAM.XA"};
    DirectoryNumber directory = IsoBuilder::kRoot;
    std::vector<Region> regions;
    RawTwin twin;
    Bytes rawBefore;
    Bytes cookedBefore;
    std::optional<Session> cooked;
    std::optional<Session> raw;
};

TEST_P(RawTwinTest, ListsExtractsAndEditsAsItsCookedTwin) {
    ASSERT_EQ(raw->volume().listingStart,
              GetParam().systemUse == 14 ? ListingStart::Fixed : ListingStart::BehindDotRecords);
    ASSERT_EQ(raw->volume().directories.size(), cooked->volume().directories.size());
    for (DirectoryNumber number = 1; number <= cooked->volume().directories.size(); ++number) {
        const auto cookedRows = cooked->listDirectory(number);
        const auto rawRows = raw->listDirectory(number);
        ASSERT_TRUE(cookedRows && rawRows) << number;
        ASSERT_EQ(rawRows->rows.size(), cookedRows->rows.size()) << number;
        for (size_t i = 0; i < cookedRows->rows.size(); ++i) {
            EXPECT_EQ(rawRows->rows[i].name + " " + rawRows->rows[i].lba + " " +
                          rawRows->rows[i].size + " " + rawRows->rows[i].dateModified,
                      cookedRows->rows[i].name + " " + cookedRows->rows[i].lba + " " +
                          cookedRows->rows[i].size + " " + cookedRows->rows[i].dateModified);
        }
    }

    // An XA stream in Form 2 sectors comes out as each sector's subheader and 2324 bytes.
    fs::create_directory(dir.file("raw-out"));
    ASSERT_TRUE(extractFiles(snap(*cooked, rows), out, recorder).failures.empty());
    ASSERT_TRUE(extractFiles(snap(*raw, rows), dir.file("raw-out"), recorder).failures.empty());
    for (const auto& name : rows) {
        auto expected = readFileBytes(out + "/" + name);
        if (name == "STREAM.XA" && GetParam().mode == RawMode::Mode2) {
            expected.clear();
            const uint64_t lba = cooked->findRecord(directory, name)->extentLba;
            for (uint64_t sector = lba; sector < lba + 4; ++sector) {
                const auto xa = bytesAt(twin.bin, sector * kRawSectorSize + 16, 8 + 2324);
                expected.insert(expected.end(), xa.begin(), xa.end());
            }
        }
        EXPECT_TRUE(readFileBytes(dir.file("raw-out/" + name)) == expected) << name;
    }

    writeFileBytes(dir.file("replacement"), pattern(6000, 99));
    onBoth("Overwrite", [&](Session& s) {
        return bool(overwriteFile(snap(s, {"BIG.BIN"}), dir.file("replacement"), recorder));
    });
    onBoth("Dummy", [&](Session& s) {
        return blankFiles(snap(s, {"K.BIN", "STREAM.XA"}), recorder).failures.empty();
    });
    onBoth("Relink", [&](Session& s) {
        const auto master = chooseMasterFile(s, directory, "BIG.BIN");
        return master && !relinkFiles(s, directory, {"T.BIN"}, *master, true).failure;
    });
    onBoth("Modify TOC", [&](Session& s) {
        const auto shown = s.findRecord(directory, "K.BIN");
        return shown && modifyToc(s, directory, *shown, {7, 9});
    });
    // Five sectors do not fit BIG.BIN's three: both images grow at the volume's end, the raw
    // one by whole sectors of its track's mode.
    writeFileBytes(dir.file("longer"), pattern(9000, 98));
    const uint64_t rawLength = fs::file_size(twin.bin);
    regions.push_back({cooked->volume().volumeSectors, 5});
    onBoth("Replace", [&](Session& s) {
        const auto shown = s.findRecord(directory, "BIG.BIN");
        const auto replaced =
            shown ? replaceFile(s, directory, *shown, dir.file("longer"), {}, recorder)
                  : Result<ReplaceOutcome>(shown.error());
        return replaced && replaced->placement.kind == PlacementKind::VolumeEnd;
    });
    regions.pop_back();
    EXPECT_EQ(listedNames(*raw, directory), listedNames(*cooked, directory));
    if (GetParam().mode == RawMode::Mode2) {
        // Blanked Form 2 sectors hold zeros in all their 2324 bytes; those recorded without
        // an EDC (the last two) still have none.
        const uint64_t lba = cooked->findRecord(directory, "STREAM.XA")->extentLba;
        for (uint64_t sector = lba; sector < lba + 4; ++sector) {
            EXPECT_EQ(bytesAt(twin.bin, sector * kRawSectorSize + 24, 2324), Bytes(2324, 0));
            const auto edc = bytesAt(twin.bin, (sector + 1) * kRawSectorSize - 4, 4);
            EXPECT_EQ(edc == Bytes(4, 0), sector >= lba + 2) << sector;
        }
    }
    if (!GetParam().far) {
        const auto converted = bchunkImage(twin);
        ASSERT_TRUE(converted) << "bchunk could not convert " << twin.cue;
        EXPECT_TRUE(readFileBytes(*converted) == readFileBytes(image));
    }

    for (int edits = 0; edits < 5; ++edits) {
        onBoth("Undo", [&](Session& s) {
            const auto last = s.journal()->lastUndoable();
            return last && *last && s.undo((*last)->id);
        });
    }
    EXPECT_EQ(fs::file_size(twin.bin), rawLength);
    EXPECT_TRUE(regionBytes(twin.bin, kRawSectorSize) == rawBefore);
    EXPECT_TRUE(regionBytes(image, 2048) == cookedBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RawTwinTest,
    ::testing::Values(RawCase{"FixedLayoutMode1FromItsCue", 14, RawMode::Mode1, true, false},
                      RawCase{"DescriptorLayoutMode2WithAnXaStream", 0, RawMode::Mode2, false,
                              false},
                      RawCase{"FilesBeyondTwoGiBMode2FromItsCue", 14, RawMode::Mode2, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrel
