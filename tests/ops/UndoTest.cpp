// What the undo journal promises beyond undoing each edit: a write that fails part-way is
// put back before it is reported, an edit cut short is put back when the image is opened
// (unless a block holds what neither side of the edit wrote), and Undo refuses bytes that
// changed since.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>

#include <gtest/gtest.h>

#include "ops/AddFile.h"
#include "ops/Blanking.h"
#include "ops/DataRewrite.h"
#include "ops/ImageWriter.h"
#include "ops/Overwrite.h"
#include "ops/Replace.h"
#include "ops/SessionFixtures.h"

namespace kestrel {
namespace {

using namespace kestrel::test;
namespace fs = std::filesystem;

// Calls `onPercent` as each file's percentage rises.
class PercentHook : public Recorder {
public:
    void showPercent(int percent) override {
        Recorder::showPercent(percent);
        onPercent(percent);
    }
    std::function<void(int)> onPercent = [](int) {};
};

enum class Fault { FileSizeLimit, ShrunkImage, UnreadableSecondPiece };

class PartWayFailure : public SessionTest, public ::testing::WithParamInterface<Fault> {
protected:
    Result<void> runInto(Fault fault) {
        switch (fault) {
            case Fault::FileSizeLimit: {
                // Writes past a size limit fail, as on a full disk, halfway through the data.
                const auto report = withFileSizeLimit(
                    dataInImage(0) + 2500, [&] { return blankFiles(snapshot({"BIG.BIN"}), hook); });
                return report.failures.empty() ? Result<void>()
                                               : Result<void>(report.failures[0].error);
            }
            case Fault::ShrunkImage:
                // The image is cut short while the file is half overwritten.
                writeFileBytes(dir.file("replacement"), pattern(5000, 99));
                hook.onPercent = [this](int percent) {
                    if (percent == 50) {
                        fs::resize_file(image, dataInImage(0) + 4000);
                    }
                };
                return overwriteFile(snapshot({"BIG.BIN"}), dir.file("replacement"), hook);
            case Fault::UnreadableSecondPiece: {
                // The replacement's second piece cannot be read, once the first is written.
                auto edit = session->beginEdit({EditKind::Overwrite, 1, 0, "BIG.BIN", 0, 0});
                const auto taken = snapshot({"BIG.BIN"});
                auto writer = ImageWriter::openUserData(*edit);
                return rewriteFileData(*writer, *edit, taken, taken.files[0], hook,
                                       [](uint64_t done, std::span<uint8_t> piece) -> Result<void> {
                                           std::ranges::fill(piece, 0xAB);
                                           return done < kSavedChunkSize
                                                      ? Result<void>()
                                                      : Error{ErrorKind::Io,
                                                              "Cannot read the replacement"};
                                       });
            }
        }
        return {};
    }

    PercentHook hook;
};

TEST_P(PartWayFailure, PutsBackWhatWasWrittenAndSaysSo) {
    // The image shrinks between two blocks, so the file needs more than one.
    const uint32_t size = GetParam() == Fault::UnreadableSecondPiece ? 3 * kSavedChunkSize / 2
                          : GetParam() == Fault::ShrunkImage         ? 2 * kWholeFileBlockSize
                                                                     : 5000;
    files = {{"BIG.BIN", 30, size}};
    rootFiles(Layout::CdRomXa, "DISC", files, 10).writeTo(image);
    open();
    const auto before = readFileBytes(image);

    const auto failed = runInto(GetParam());
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().message.find("was left as it was"), std::string::npos)
        << failed.error().message;
    const auto after = readFileBytes(image);
    EXPECT_TRUE(after == Bytes(before.begin(), before.begin() + after.size()));
}

INSTANTIATE_TEST_SUITE_P(Faults, PartWayFailure,
                         ::testing::Values(Fault::FileSizeLimit, Fault::ShrunkImage,
                                           Fault::UnreadableSecondPiece));

class JournalTest : public SessionTest {
protected:
    void SetUp() override {
        openDisc(Disc::Cd);
        before = readFileBytes(image);
    }
    std::optional<JournalEntry> lastUndoable() {
        const auto last = session->journal()->lastUndoable();
        EXPECT_TRUE(last) << last.error().message;
        return last ? *last : std::nullopt;
    }

    Bytes before;
};

TEST_F(JournalTest, AnEditCutShortIsPutBackOnlyWhenEachBlockHoldsItsOldOrNewBytes) {
    const auto zeros = Bytes(5000, 0);
    {
        // Written, never marked complete: as a crash leaves it.
        auto edit = session->beginEdit({EditKind::Dummy, 1, 5000, "BIG.BIN", 0, 0});
        auto writer = ImageWriter::open(*edit, JournalTarget::Image);
        ASSERT_TRUE(writer->writeAt(dataInImage(0), zeros) && writer->finish());
    }
    overwriteBytes(image, dataInImage(0) + 3000, {7});
    const auto mixed = readFileBytes(image);
    open();
    ASSERT_EQ(session->recoveryNotes().size(), 1u);
    EXPECT_NE(
        session->recoveryNotes()[0].find("bytes 63488 to 65535 of " + image + " hold neither"),
        std::string::npos)
        << session->recoveryNotes()[0];
    EXPECT_EQ(readFileBytes(image), mixed);

    overwriteBytes(image, dataInImage(0) + 3000, {0});
    open();
    ASSERT_EQ(session->recoveryNotes().size(), 1u);
    EXPECT_NE(session->recoveryNotes()[0].find("was put back"), std::string::npos);
    EXPECT_EQ(readFileBytes(image), before);
    open();
    EXPECT_TRUE(session->recoveryNotes().empty());
    EXPECT_FALSE(lastUndoable());
}

// A, B, C and D are saved ahead together, in that order; a file size limit falls inside B and
// before D. Only B and D are put back, and undoing the run puts back A and C.
TEST_F(JournalTest, FilesThatFailAmongFilesSavedTogetherArePutBackAloneAndTheRunStaysUndoable) {
    files = {{"A.BIN", 30, 3000}, {"B.BIN", 40, 5000}, {"C.BIN", 32, 3000}, {"D.BIN", 44, 1000}};
    rootFiles(Layout::CdRomXa, "DISC", files, 10).writeTo(image);
    open();
    const auto start = readFileBytes(image);
    const auto report = withFileSizeLimit(40 * 2048 + 2500, [&] {
        return blankFiles(snapshot({"A.BIN", "B.BIN", "C.BIN", "D.BIN"}), recorder);
    });
    ASSERT_EQ(report.failures.size(), 2u);
    EXPECT_EQ(report.failures[0].rowName + report.failures[1].rowName, "B.BIND.BIN");
    EXPECT_EQ(readFileBytes(image), withBytesAt(withBytesAt(start, 30 * 2048, Bytes(3000, 0)),
                                                32 * 2048, Bytes(3000, 0)));
    ASSERT_TRUE(session->undo(lastUndoable()->id));
    EXPECT_EQ(readFileBytes(image), start);
}

// The user's state folder, where the journal lives, is a file system of 256 KiB, and BIG.BIN's
// old bytes do not fit in it (never zero, they are kept whole). BIG.BIN alone is put back and
// said to be left as it was; the files around it are blanked and undoable, and the next open
// finds nothing to recover.
TEST_F(JournalTest, AJournalOnAFullDiskPutsBackOnlyTheFileThatDidNotFit) {
    struct SmallStateFolder {
        std::string path;
        std::optional<std::string> inherited;
        ~SmallStateFolder() {
            ::umount2(path.c_str(), MNT_DETACH);
            inherited ? ::setenv("XDG_STATE_HOME", inherited->c_str(), 1)
                      : ::unsetenv("XDG_STATE_HOME");
        }
    };
    const char* inherited = std::getenv("XDG_STATE_HOME");
    const SmallStateFolder state{dir.file("state"),
                                 inherited ? std::optional(inherited) : std::nullopt};
    fs::create_directory(state.path);
    if (::mount("tmpfs", state.path.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs on " << state.path << ": " << std::strerror(errno);
    }
    ::setenv("XDG_STATE_HOME", state.path.c_str(), 1);
    const struct {
        const char* name;
        Rows rows;
        std::vector<int> blanked;  // by place in `files`
    } runs[] = {
        {"a file larger than the room", {"BIG.BIN"}, {}},
        {"a run that fills it on its second file", {"A.BIN", "BIG.BIN", "C.BIN"}, {0, 2}},
    };
    files = {{"A.BIN", 30, 3000}, {"BIG.BIN", 32, 300000}, {"C.BIN", 180, 3000}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        // An image of its own, and so a journal of its own, for each run.
        image = dir.file(std::string(run.name) + ".iso");
        rootFiles(Layout::CdRomXa, "DISC", files, 10).writeTo(image);
        open();
        const auto start = readFileBytes(image);
        auto expected = start;
        for (const int file : run.blanked) {
            expected = withBytesAt(expected, dataInImage(file), Bytes(files[file].size, 0));
        }

        const auto report = blankFiles(snapshot(run.rows), recorder);
        std::string failed;
        for (const auto& failure : report.failures) {
            failed += "\n" + failure.rowName + ": " + failure.error.message;
        }
        ASSERT_EQ(report.failures.size(), 1u) << failed;
        EXPECT_EQ(report.failures[0].rowName, "BIG.BIN");
        EXPECT_NE(failed.find("No space left on device"), std::string::npos) << failed;
        EXPECT_NE(failed.find("BIG.BIN's data was left as it was"), std::string::npos) << failed;
        EXPECT_TRUE(readFileBytes(image) == expected);
        open();
        EXPECT_EQ(session->recoveryNotes(), Rows{});
        const auto history = session->journal()->history();
        ASSERT_TRUE(history) << history.error().message;
        for (const auto& entry : *history) {
            EXPECT_NE(entry.state, JournalEntry::State::Incomplete) << entry.id;
        }
        if (!run.blanked.empty()) {
            const auto last = lastUndoable();
            ASSERT_TRUE(last);
            const auto undone = session->undo(last->id);
            ASSERT_TRUE(undone) << undone.error().message;
            EXPECT_TRUE(readFileBytes(image) == start);
        }
    }
}

TEST_F(JournalTest, UndoRefusesBytesChangedSinceAndEditsWithoutUndoLeaveNoEntry) {
    ASSERT_TRUE(blankFiles(snapshot({"BIG.BIN"}), recorder).failures.empty());
    // Blanking zeros again saves no bytes, only that they were zero.
    ASSERT_TRUE(blankFiles(snapshot({"BIG.BIN"}), recorder).failures.empty());
    const auto history = session->journal()->history();
    ASSERT_EQ(history->size(), 2u);
    EXPECT_GT((*history)[0].journalBytes, 5000u);
    EXPECT_LT((*history)[1].journalBytes, 500u);

    auto withoutUndo = snapshot({"K.BIN"});
    withoutUndo.keepUndo = false;
    ASSERT_TRUE(blankFiles(withoutUndo, recorder).failures.empty());
    EXPECT_EQ(session->journal()->history()->size(), 2u);

    ASSERT_TRUE(session->undo(lastUndoable()->id));
    overwriteBytes(image, dataInImage(0) + 4500, {1});
    const auto changed = readFileBytes(image);
    const auto refused = session->undo(lastUndoable()->id);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "Cannot undo Dummy of BIG.BIN, 5.0 KB: bytes 65536 to 66439 of " + image +
                  " no longer hold what it wrote; they were changed since. Nothing was written");
    EXPECT_EQ(readFileBytes(image), changed);
}

// A Replace that grows the image: undo cuts it back to its length, keeping what it cut, so
// that a redo (the undo of that undo) grows it again with the same bytes; once an edit made
// without undo changed the length since, undo is refused.
TEST_F(JournalTest, AGrownImageIsCutBackByUndoAndGrownAgainByRedo) {
    writeFileBytes(dir.file("longer"), pattern(9000, 5));
    const auto found = session->findRecord(IsoBuilder::kRoot, "BIG.BIN");
    ASSERT_TRUE(found);
    const auto replaced =
        replaceFile(*session, IsoBuilder::kRoot, *found, dir.file("longer"), {}, recorder);
    ASSERT_TRUE(replaced) << replaced.error().message;
    ASSERT_EQ(replaced->placement.kind, PlacementKind::VolumeEnd);
    const auto grown = readFileBytes(image);
    ASSERT_EQ(grown.size(), before.size() + 5 * 2048);

    const auto replace = lastUndoable()->id;
    ASSERT_TRUE(session->undo(replace));
    EXPECT_EQ(readFileBytes(image), before);
    ASSERT_TRUE(session->undo(session->journal()->lastRedoable().value()->id));
    EXPECT_EQ(readFileBytes(image), grown);

    // A Replace made without undo since grew the image again: the one before is refused.
    const auto small = session->findRecord(IsoBuilder::kRoot, "K.BIN");
    ASSERT_TRUE(small);
    ASSERT_TRUE(replaceFile(*session, IsoBuilder::kRoot, *small, dir.file("longer"),
                            {false, false, false}, recorder));
    const auto withoutUndo = readFileBytes(image);
    const auto refused = session->undo(lastUndoable()->id);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message.find(" bytes, where it left "), std::string::npos)
        << refused.error().message;
    EXPECT_EQ(readFileBytes(image), withoutUndo);
}

// Layer 1 of a dual-layer image ends with the image, so it grows there: a second growth in the
// same session finds the volume's new end, the layer-1 copy holds what the image holds from
// layer 1's start, and undo gives back the image, its length and the copy as they were.
TEST_F(SessionTest, LayerOneGrowsAtTheImagesEndAndUndoPutsBackTheImageAndItsCopy) {
    openDisc(Disc::Dvd9LayerOne);
    const auto before = readFileBytes(image);
    const auto copyBefore = readFileBytes(copy);
    writeFileBytes(dir.file("longer"), pattern(9000, 5));
    const auto found = session->findRecord(IsoBuilder::kRoot, "BIG.BIN");
    ASSERT_TRUE(found);
    const auto replaced =
        replaceFile(*session, IsoBuilder::kRoot, *found, dir.file("longer"), {}, recorder);
    ASSERT_TRUE(replaced) << replaced.error().message;
    const auto added = addFile(*session, IsoBuilder::kRoot, dir.file("longer"),
                               {std::string("NEW.BIN")}, recorder);
    ASSERT_TRUE(added) << added.error().message;
    EXPECT_EQ(replaced->placement.lba, base + 24);
    EXPECT_EQ(added->placement.lba, base + 29);
    const auto grown = readFileBytes(image);
    EXPECT_EQ(grown.size(), dataStart + uint64_t{base + 34} * 2048);
    const auto copied = readFileBytes(copy);
    EXPECT_TRUE(std::ranges::equal(copied, std::span(grown).subspan(dataStart, copied.size())));

    for (int edits = 0; edits < 2; ++edits) {
        const auto undone = session->undo(session->journal()->lastUndoable().value()->id);
        ASSERT_TRUE(undone) << undone.error().message;
    }
    EXPECT_TRUE(readFileBytes(image) == before);
    EXPECT_TRUE(readFileBytes(copy) == copyBefore);
    EXPECT_EQ(session->volume().volumeSectors, base + 24);
}

// A pipe that takes part of what waits and then no more stands for a disk that fills up in
// the middle of a write: the entry now ends in part of a record, so nothing after it would
// ever be read back, and the journal must refuse every later write even once there is room.
TEST(RangeAppender, TakesNoMoreWritesOnceOneFailedPartWay) {
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_NONBLOCK), 0);
    ASSERT_GT(::fcntl(pipeEnds[1], F_SETPIPE_SZ, 4096), 0);
    RangeAppender appender(pipeEnds[1], "journal");
    // A record of 64,935 old bytes in 32 blocks is 64 KiB long with its head, fields, block
    // table and checksum: sixteen of them are the megabyte at which they are written.
    const auto old = pattern(64935, 3);
    const auto zeros = Bytes(old.size(), 0);
    for (uint64_t i = 0; i < 15; ++i) {
        ASSERT_TRUE(appender.append(JournalTarget::Image, i * old.size(), old, zeros, false));
    }
    EXPECT_FALSE(appender.append(JournalTarget::Image, 15 * old.size(), old, zeros, false));
    EXPECT_EQ(appender.rangesWritten(), 0u);
    std::vector<uint8_t> drained(4096);
    ASSERT_EQ(::read(pipeEnds[0], drained.data(), drained.size()), 4096);
    ASSERT_GE(::fcntl(pipeEnds[1], F_SETPIPE_SZ, 1 << 20), 1 << 20);
    EXPECT_FALSE(appender.flush());
    EXPECT_EQ(appender.rangesWritten(), 0u);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
}

}  // namespace
}  // namespace kestrel
