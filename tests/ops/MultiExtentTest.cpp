// Files of several extents, as ISO 9660 level 3 stores a file of 4 GiB or more, made small by
// the builder: one row each, every operation over every extent, and record edits refused.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "fuzz/ImageChecks.h"
#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"
#include "ops/Overwrite.h"
#include "ops/SessionFixtures.h"

namespace kestrel {
namespace {

using namespace kestrel::test;

constexpr uint32_t kVolumeSectors = 100;

// An extent at `lba` holding `size` bytes of pattern(seed), its sector's bytes behind them
// holding more, which no operation may reach.
Bytes concatenated(const std::vector<Bytes>& parts) {
    Bytes all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// BIG.BIN's three extents lie out of order with a file between them; BROKEN.BIN's one
// record says another follows, but OTHER.BIN's comes next; PAST.BIN's second extent lies
// past the end of the image; ZZ.BIN's one record says another follows, but is the last.
class MultiExtentTest : public SessionTest {
protected:
    void SetUp() override {
        IsoBuilder builder = chainedImageBuilder();
        builder.addFile(IsoBuilder::kRoot, fileAt("Z.BIN;1", 80, 100, pattern(2048, 8)));
        builder.addFile(IsoBuilder::kRoot, fileAt("BROKEN.BIN;1", 90, 2048, pattern(2048, 4),
                                                  isobuilder::kMultiExtentFlag));
        builder.addFile(IsoBuilder::kRoot, fileAt("OTHER.BIN;1", 92, 10, pattern(2048, 5)));
        builder.addMultiExtentFile(IsoBuilder::kRoot, "PAST.BIN;1",
                                   {extentAt(94, 2048, 6), recordOnly("", 5000, 2048)});
        builder.addFile(IsoBuilder::kRoot, fileAt("ZZ.BIN;1", 96, 2048, pattern(2048, 7),
                                                  isobuilder::kMultiExtentFlag));
        builder.setVolumeSectors(kVolumeSectors);
        builder.writeTo(image);
        open();
        before = readFileBytes(image);
    }

    Bytes dataAt(uint32_t lba, uint32_t size) const {
        return {before.begin() + lba * 2048, before.begin() + lba * 2048 + size};
    }
    Bytes big() const {
        return concatenated({dataAt(60, 4096), dataAt(50, 2048), dataAt(70, 1000)});
    }

    Bytes before;
};

TEST_F(MultiExtentTest, EachChainIsOneRowSizedByItsExtentsAndSaysWhereItIsBroken) {
    const auto listing = session->listDirectory(IsoBuilder::kRoot);
    ASSERT_TRUE(listing);
    std::map<std::string, ListRow> rows;
    for (const auto& row : listing->rows) {
        EXPECT_TRUE(rows.emplace(row.name, row).second) << row.name << " is listed twice";
    }
    const struct {
        const char* name;
        const char* lba;
        const char* size;
        std::vector<Extent> extents;
        const char* broken;
    } expected[] = {
        {"A.TXT", "40", "700", {}, ""},
        {"BIG.BIN", "60", "7144", {{60, 4096}, {50, 2048}, {70, 1000}}, ""},
        {"Z.BIN", "80", "100", {}, ""},
        {"BROKEN.BIN",
         "90",
         "2048",
         {{90, 2048}},
         "the record of extent 1 says another follows, but the next record is another file's"},
        {"OTHER.BIN", "92", "10", {}, ""},
        {"PAST.BIN",
         "94",
         "2048",
         {{94, 2048}},
         "extent 2 of 2 lies past the end of the image, so only the one before it is read"},
        {"ZZ.BIN",
         "96",
         "2048",
         {{96, 2048}},
         "the record of extent 1 says another follows, but the directory's records end there"},
    };
    EXPECT_EQ(rows.size(), std::size(expected));
    for (const auto& file : expected) {
        SCOPED_TRACE(file.name);
        const auto& row = rows[file.name];
        EXPECT_EQ(row.lba, file.lba);
        EXPECT_EQ(row.size, file.size);
        EXPECT_EQ(row.extents, file.extents);
        EXPECT_EQ(row.brokenChain, file.broken);
        // Found again as the row shows it.
        const auto found = session->findRecord(IsoBuilder::kRoot, file.name);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->extents, file.extents);
    }
}

// Each operation on BIG.BIN, and what the image holds after it; a refused one writes nothing.
TEST_F(MultiExtentTest, EveryOperationCoversEveryExtentAndRecordEditsAreRefused) {
    const auto replacement = dir.file("replacement");
    writeFileBytes(replacement, pattern(5000, 77));
    const auto replaced = [&] {
        const auto bytes = pattern(5000, 77);
        auto after = withBytesAt(before, 60 * 2048, {bytes.begin(), bytes.begin() + 4096});
        after = withBytesAt(after, 50 * 2048, {bytes.begin() + 4096, bytes.end()});
        after = withBytesAt(after, 50 * 2048 + 904, Bytes(1144));
        return withBytesAt(after, 70 * 2048, Bytes(1000));
    }();
    const auto blanked = withBytesAt(
        withBytesAt(withBytesAt(before, 60 * 2048, Bytes(4096)), 50 * 2048, Bytes(2048)), 70 * 2048,
        Bytes(1000));
    const auto master = chooseMasterFile(*session, IsoBuilder::kRoot, "Z.BIN");
    ASSERT_TRUE(master);
    const struct {
        const char* name;
        std::function<Result<void>()> run;
        Bytes after;
        bool refused = false;
    } cases[] = {
        {"Extract",
         [&]() -> Result<void> {
             const auto report = extractFiles(snapshot({"BIG.BIN"}), out, recorder);
             EXPECT_TRUE(report.failures.empty() && report.incomplete.empty());
             EXPECT_EQ(readFileBytes(out + "/BIG.BIN"), big());
             return {};
         },
         before},
        {"Dummy",
         [&]() -> Result<void> {
             const auto report = blankFiles(snapshot({"BIG.BIN"}), recorder);
             return report.failures.empty() ? Result<void>() : report.failures.front().error;
         },
         blanked},
        {"Overwrite", [&] { return overwriteFile(snapshot({"BIG.BIN"}), replacement, recorder); },
         replaced},
        {"Relink of it",
         [&]() -> Result<void> {
             const auto run =
                 relinkFiles(*session, IsoBuilder::kRoot, {"A.TXT", "BIG.BIN"}, *master, true);
             EXPECT_TRUE(run.patched.empty());
             return run.failure ? run.failure->error : Result<void>();
         },
         before, true},
        {"Relink to it",
         [&]() -> Result<void> {
             const auto chosen = chooseMasterFile(*session, IsoBuilder::kRoot, "BIG.BIN");
             return chosen ? Result<void>() : chosen.error();
         },
         before, true},
        {"Modify TOC",
         [&]() -> Result<void> {
             const auto location = session->findRecord(IsoBuilder::kRoot, "BIG.BIN");
             const auto patched = modifyToc(*session, IsoBuilder::kRoot, *location, {80, 100});
             return patched ? Result<void>() : patched.error();
         },
         before, true},
    };
    for (const auto& operation : cases) {
        SCOPED_TRACE(operation.name);
        const auto done = operation.run();
        EXPECT_EQ(done.ok(), !operation.refused) << (done ? "" : done.error().message);
        if (!done) {
            EXPECT_NE(done.error().message.find("BIG.BIN is stored in 3 extents"),
                      std::string::npos)
                << done.error().message;
        }
        EXPECT_EQ(readFileBytes(image), operation.after);
        if (operation.after != before) {
            ASSERT_TRUE(session->undo(session->journal()->lastUndoable().value()->id));
            EXPECT_EQ(readFileBytes(image), before);
        }
    }
}

// A broken chain is what can be read: its extents before the break, and no byte past them.
TEST_F(MultiExtentTest, ABrokenChainIsExtractedAndBlankedAsFarAsItsRecordsReach) {
    const auto extracted = extractFiles(snapshot({"BROKEN.BIN", "PAST.BIN"}), out, recorder);
    EXPECT_TRUE(extracted.failures.empty());
    ASSERT_EQ(extracted.incomplete.size(), 2u);
    EXPECT_EQ(readFileBytes(out + "/BROKEN.BIN"), dataAt(90, 2048));
    EXPECT_EQ(readFileBytes(out + "/PAST.BIN"), dataAt(94, 2048));

    EXPECT_TRUE(blankFiles(snapshot({"PAST.BIN"}), recorder).failures.empty());
    EXPECT_EQ(readFileBytes(image), withBytesAt(before, 94 * 2048, Bytes(2048)));
}

// The promises every image is held to: every operation writes only what it owns.
TEST_F(MultiExtentTest, EveryOperationOnEveryRowKeepsThePromises) {
    EXPECT_NO_THROW(checks::exerciseOperations(*session, IsoBuilder::kRoot, dir.path().string()));
}

}  // namespace
}  // namespace kestrel
