// Extract, Dummy and Overwrite through the window: a real worker thread, the buttons and
// CANCEL while it works, the progress display and the end message.
#include <QRegularExpression>
#include <fstream>

#include "journal/EditSummary.h"
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

constexpr std::array kOperationButtons{
    C::kSwitchLayersButton, C::kExtractButton, C::kDummyButton,     C::kModifyTocButton,
    C::kOverwriteButton,    C::kRelinkButton,  C::kMasterFileButton};

class BackgroundOperationTest : public WindowFixture {
protected:
    // "held" while every operation button is disabled, "idle" when all are enabled but Switch
    // Layers, as on a CD; then CANCEL when it shows, then what the progress display shows.
    QString shown() const {
        const auto on = [this](int id) { return enabled(id); };
        const int progress = control<QProgressBar>(C::kProgressBar)->value();
        QStringList now{
            std::ranges::none_of(kOperationButtons, on) ? "held"
            : std::ranges::count_if(kOperationButtons, on) == 6 && !on(C::kSwitchLayersButton)
                ? "idle"
                : "mixed",
            control(C::kCancelButton)->isVisible() ? "CANCEL" : "", text(C::kStatusText),
            text(C::kPercentText), progress != 0 ? QString::number(progress) : ""};
        now.removeAll(QString());
        return now.join(' ');
    }

    TempDir out;
};

TEST_F(BackgroundOperationTest, EachRunShowsTheFileItIsOnAndEndsWithItsMessageOverTheRightDisplay) {
    const QString noRow = "Notice: No File(s) Selected! / idle";
    // Each run: the rows selected, whether the picker is answered, the message that ends it with
    // what shows behind it, and the statuses shown.
    const std::vector<std::tuple<const char*, int, QString, bool, QString, QString>> cases{
        {"Extract", C::kExtractButton, "A.TXT C.TXT MASTER.BIN ZERO.BIN", true,
         "Notice: Selected Files Extracted / held CANCEL",
         "Extracting C.TXT, Extracting A.TXT, Extracting MASTER.BIN"},
        {"Dummy", C::kDummyButton, "A.TXT B.TXT", true,
         "Notice: File Replaced With a Dummy File / idle", "Dummying B.TXT, Dummying A.TXT"},
        // B.TXT is listed above A.TXT: only the topmost row is replaced.
        {"Overwrite", C::kOverwriteButton, "A.TXT B.TXT", true,
         "Notice: Selected File Replaced. / held Replacing B.TXT 5% 5", "Replacing B.TXT"},
        {"Overwrite of an empty file past the end", C::kOverwriteButton, "ZERO.BIN", true,
         "Notice: Selected File Replaced. / held Replacing ZERO.BIN 0%", ""},
        {"Extract, no row", C::kExtractButton, "", true, noRow, ""},
        {"Dummy, no row", C::kDummyButton, "", true, noRow, ""},
        {"Overwrite, no row", C::kOverwriteButton, "", true, noRow, ""},
        {"Extract, picker dismissed", C::kExtractButton, "A.TXT", false, "", ""},
        {"Overwrite, dialog dismissed", C::kOverwriteButton, "A.TXT", false, "", ""},
    };
    const std::string replacement = dir.file("replacement.bin");
    writeFileBytes(replacement, {'R', 'E', 'P', 'L', 'A'});
    browseTo(image);
    QStringList during;  // the status of each file whose progress shows
    onProgress([&](const QString& status, int value) {
        EXPECT_TRUE(shown().startsWith("held")) << shown().toStdString();
        if (value > 0 && (during.isEmpty() || during.back() != status)) {
            during.append(status);
        }
    });
    QStringList behind;
    prompter->onShow = [&](const Message&) { behind.append(shown()); };

    for (const auto& [name, button, names, chosen, end, statuses] : cases) {
        SCOPED_TRACE(name);
        const auto rows = names.split(' ', Qt::SkipEmptyParts);
        selectRows(rows);
        prompter->folders = {chosen ? fromLocalPath(out.path().string()) : QString()};
        prompter->files = {chosen ? fromLocalPath(replacement) : QString()};
        during.clear();
        behind.clear();
        const auto before = readFileBytes(image);
        // ZERO.BIN is offered the replacement's size, and keeps its own.
        prompter->answers = {Answer::No};
        click(button);
        ASSERT_TRUE(operationEnds());
        auto messages = takeMessages();
        const auto asked = messages.removeIf(
            [](const QString& message) { return message.startsWith("Question (Overwrite)"); });
        EXPECT_EQ(asked, rows == QStringList{"ZERO.BIN"} && chosen ? 1 : 0);
        EXPECT_EQ((messages + behind.mid(static_cast<qsizetype>(asked))).join(" / "), end);
        EXPECT_EQ(during.join(", "), statuses);
        EXPECT_EQ(shown(), "idle");
        if (button == C::kExtractButton || !chosen || rows.empty()) {
            EXPECT_EQ(readFileBytes(image), before);
        }
    }
    EXPECT_EQ(readFileBytes(out.file("ZERO.BIN")), std::vector<uint8_t>());
    EXPECT_EQ(prompter->folderTitles.back(), "Select Folder To Extract Files To");
    EXPECT_EQ(prompter->fileRequests.back(), "A.TXT (A.TXT) (A.TXT) / A.TXT");
}

// Overwrite with a replacement of another size than B.TXT's five bytes: Yes gives B.TXT the
// replacement's exact bytes and size (a longer one placed whole at the volume's end, the image
// grown), No keeps Overwrite's cut or zeros; Undo gives the original image back either way.
TEST_F(BackgroundOperationTest, AReplacementOfAnotherSizeMayTakeItsOwnSize) {
    browseTo(image);
    const auto original = readFileBytes(image);
    const QString lba = cell("B.TXT", 1);
    struct Case {
        size_t size;
        Answer answer;
        const char* asked;  // the question's first sentence
        QString listed;     // B.TXT's size, and whether its LBA moved
        bool grows;
    };
    for (const auto& [size, answer, asked, listed, grows] :
         {Case{9000, Answer::Yes, "The replacement is longer than B.TXT (9.0 KB against 5 bytes).",
               "9000 moved", true},
          Case{9000, Answer::No, "The replacement is longer than B.TXT (9.0 KB against 5 bytes).",
               "5 kept", false},
          Case{3, Answer::Yes, "The replacement is shorter than B.TXT (3 bytes against 5 bytes).",
               "3 kept", false},
          Case{3, Answer::No, "The replacement is shorter than B.TXT (3 bytes against 5 bytes).",
               "5 kept", false}}) {
        SCOPED_TRACE(std::to_string(size) + (answer == Answer::Yes ? " Yes" : " No"));
        const std::string replacement = dir.file("B.TXT");
        writeFileBytes(replacement, pattern(size, 3));
        selectRows({"B.TXT"});
        prompter->files = {fromLocalPath(replacement)};
        prompter->answers = {answer};
        click(C::kOverwriteButton);
        ASSERT_TRUE(operationEnds());
        const auto messages = takeMessages();
        ASSERT_EQ(messages.size(), 2);
        EXPECT_TRUE(messages[0].startsWith(QStringLiteral("Question (Overwrite): ") + asked))
            << messages[0].toStdString();
        EXPECT_TRUE(messages[1].startsWith("Notice: Selected File Replaced."))
            << messages[1].toStdString();
        EXPECT_EQ(cell("B.TXT", 2) + (cell("B.TXT", 1) == lba ? " kept" : " moved"), listed);
        EXPECT_EQ(readFileBytes(image).size() > original.size(), grows);

        prompter->answers = {Answer::Yes};
        window->handleSystemCommand(C::kUndoCommand);
        ASSERT_TRUE(operationEnds());
        takeMessages();
        EXPECT_EQ(readFileBytes(image), original);
        EXPECT_EQ(cell("B.TXT", 2), "5");
    }

    // Behind a volume that cannot grow, a gap of zeros is offered: MASTER.BIN's three sectors,
    // zeroed and left to no record.
    const uint64_t gap = dataOffset("MASTER.BIN");
    auto held = withBytesAt(original, gap, std::vector<uint8_t>(3 * 2048, 0));
    held = withBytesAt(held, recordOf("MASTER.BIN") + 2, extentField(cell("A.TXT", 1).toUInt()));
    held.resize(held.size() + 4096, 0xEE);
    writeFileBytes(image, held);
    browseTo(image);
    const std::string replacement = dir.file("B.TXT");
    writeFileBytes(replacement, pattern(3000, 3));
    selectRows({"B.TXT"});
    prompter->files = {fromLocalPath(replacement)};
    prompter->answers = {Answer::Yes};
    click(C::kOverwriteButton);
    ASSERT_TRUE(operationEnds());
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[0].contains("cannot be placed at the volume's end"))
        << messages[0].toStdString();
    EXPECT_TRUE(
        messages[0].contains(QRegularExpression("Yes places it whole in the gap at LBA \\d+")))
        << messages[0].toStdString();
    EXPECT_EQ(cell("B.TXT", 2), "3000");
    EXPECT_EQ(cell("B.TXT", 1), QString::number(gap / 2048));
    EXPECT_EQ(readFileBytes(image).size(), held.size());
}

// Add File puts a file into the selected directory once the user says yes, under a name made
// to fit the image's rules where its own does not, and Undo takes it back.
TEST_F(BackgroundOperationTest, AFileAddedToADirectoryIsListedThereAndUndoTakesItBack) {
    browseTo(image);
    const auto original = readFileBytes(image);
    const std::string file = dir.file("new notes.txt");
    writeFileBytes(file, pattern(3000, 5));
    selectDirectory(kEmpty);
    const QString asked =
        "Question (Add File): Add new notes.txt to EMPTY as NEW_NOTE.TXT (its "
        "name does not fit the image's ISO 9660 names)?";
    for (const Answer answer : {Answer::No, Answer::Yes}) {
        prompter->files = {fromLocalPath(file)};
        prompter->answers = {answer};
        window->handleSystemCommand(C::kAddFileCommand);
        ASSERT_TRUE(operationEnds());
        const auto messages = takeMessages();
        ASSERT_EQ(messages.size(), answer == Answer::Yes ? 2 : 1);
        EXPECT_TRUE(messages[0].startsWith(asked)) << messages[0].toStdString();
        EXPECT_EQ(readFileBytes(image) == original, answer == Answer::No);
    }
    EXPECT_EQ(cell("NEW_NOTE.TXT", 2), "3000");

    prompter->answers = {Answer::Yes};
    window->handleSystemCommand(C::kUndoCommand);
    ASSERT_TRUE(operationEnds());
    takeMessages();
    EXPECT_EQ(readFileBytes(image), original);
    EXPECT_EQ(list()->topLevelItemCount(), 0);

    // Behind a volume that cannot grow, because the image holds more after it, a gap of zeros
    // inside it is offered instead: C.TXT's sector, zeroed and left to no record.
    selectDirectory(1);
    auto held = withBytesAt(original, dataOffset("C.TXT"), std::vector<uint8_t>(2048, 0));
    held = withBytesAt(held, recordOf("C.TXT") + 2, extentField(cell("A.TXT", 1).toUInt()));
    held.resize(held.size() + 4096, 0xEE);
    writeFileBytes(image, held);
    writeFileBytes(file, pattern(300, 5));
    browseTo(image);
    selectDirectory(kEmpty);
    prompter->files = {fromLocalPath(file)};
    prompter->answers = {Answer::Yes};
    window->handleSystemCommand(C::kAddFileCommand);
    ASSERT_TRUE(operationEnds());
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 2) << messages.join("|").toStdString();
    EXPECT_TRUE(messages[0].contains(
        QRegularExpression("Its bytes go in the gap at LBA \\d+, sectors that no directory names")))
        << messages[0].toStdString();
    EXPECT_EQ(cell("NEW_NOTE.TXT", 2), "300");
    EXPECT_EQ(readFileBytes(image).size(), held.size());
}

// On an image of three files of 3 MiB, listed BIG3, BIG2, BIG1: what CANCEL, closing the window and
// browsing away do to a run under way, each done as its first file reaches 2%.
TEST_F(BackgroundOperationTest, ARunStopsOnlyWhereCancelOrClosingSaysAndKeepsToItsImage) {
    IsoBuilder builder(Layout::CdRomXa, "BIG");
    for (const char* name : {"BIG1.BIN;1", "BIG2.BIN;1", "BIG3.BIN;1"}) {
        builder.addFile(IsoBuilder::kRoot, textFile(name, std::string(3 << 20, 'b')));
    }
    const std::string big = dir.file("big.iso");
    builder.writeTo(big);
    browseTo(big);
    const auto before = readFileBytes(big);
    const auto blanked = [&](auto... rows) {
        auto bytes = before;
        ((bytes = withBytesAt(bytes, dataOffset(rows), std::vector<uint8_t>(3 << 20, 0))), ...);
        return bytes;
    };
    std::function<void()> interrupt;
    onProgress([&](const QString&, int value) {
        if (value == 2 && interrupt) {
            std::exchange(interrupt, nullptr)();
        }
    });
    const auto run = [&](int button, const QStringList& rows, std::function<void()> act) {
        window->show();
        browseTo(big);
        selectRows(rows);
        prompter->folders = {fromLocalPath(out.path().string())};
        interrupt = std::move(act);
        click(button);
        EXPECT_TRUE(operationEnds());
    };
    const auto close = [this] {
        QTimer::singleShot(0, window.get(), [this] { window->reject(); });
    };

    // CANCEL keeps the part of a file under a free name; an older file of the name stays whole.
    const auto cancel = [this] { click(C::kCancelButton); };
    const QString big3 = fromLocalPath(out.file("BIG3.BIN"));
    run(C::kExtractButton, {"BIG1.BIN", "BIG3.BIN"}, cancel);
    const auto part = readFileBytes(out.file("BIG3.BIN"));
    EXPECT_LT(part.size(), (3u << 20) / 10);
    EXPECT_EQ(takeMessages(), QStringList{"Notice: Aborted Extraction\n\nBIG3.BIN was cut at " +
                                          QString::fromStdString(formatBytes(part.size())) +
                                          " of 3.1 MB; its part is " + big3 + "."});
    EXPECT_FALSE(std::filesystem::exists(out.file("BIG1.BIN")));
    EXPECT_EQ(shown(), "idle");
    run(C::kExtractButton, {"BIG3.BIN"}, cancel);
    EXPECT_EQ(takeMessages(), QStringList{"Notice: Aborted Extraction\n\nBIG3.BIN was stopped "
                                          "before it was complete; the older file " +
                                          big3 + " was kept as it was."});
    EXPECT_EQ(readFileBytes(out.file("BIG3.BIN")), part);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()), {}), 1);

    // Closing asks first. No lets the run go on; Yes stops an extraction after the block in
    // hand, and lets a Dummy finish its file.
    const QString closeQuestion =
        "Question (): An Extract is running: stop it and close?\n\nThe file in hand keeps what "
        "was written of it, unless it was to replace an older file, which then stays as it was.";
    prompter->answers = {Answer::No};
    run(C::kExtractButton, {"BIG2.BIN"}, close);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(takeMessages(), (QStringList{closeQuestion, "Notice: Selected Files Extracted"}));
    EXPECT_EQ(readFileBytes(out.file("BIG2.BIN")).size(), 3u << 20);
    prompter->answers = {Answer::Yes};
    run(C::kExtractButton, {"BIG1.BIN", "BIG2.BIN"}, close);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(takeMessages(), QStringList{closeQuestion});
    EXPECT_EQ(readFileBytes(out.file("BIG2.BIN")).size(), 3u << 20);
    EXPECT_FALSE(std::filesystem::exists(out.file("BIG1.BIN")));
    prompter->answers = {Answer::Yes};
    run(C::kDummyButton, {"BIG1.BIN", "BIG3.BIN"}, close);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(takeMessages().size(), 1);
    EXPECT_EQ(readFileBytes(big), blanked("BIG3.BIN"));

    // Browsing to another image leaves the run on the one it started on.
    const auto otherBefore = readFileBytes(image);
    run(C::kDummyButton, {"BIG1.BIN", "BIG2.BIN"}, [this] {
        browseTo(image);
        selectRows({"A.TXT"});
    });
    EXPECT_EQ(readFileBytes(image), otherBefore);
    EXPECT_EQ(tree()->topLevelItem(0)->text(0), "TEST_DISC");
    EXPECT_EQ(shown(), "idle");
    browseTo(big);
    EXPECT_EQ(readFileBytes(big), blanked("BIG1.BIN", "BIG2.BIN", "BIG3.BIN"));

    // Undo works on a worker too, whose progress reaches the window, which goes on meanwhile.
    QStringList undoing;
    onProgress([&](const QString& status, int value) {
        if (value > 0) {
            undoing.append(status);
        }
    });
    prompter->answers = {Answer::Yes};
    window->handleSystemCommand(C::kUndoCommand);
    ASSERT_TRUE(operationEnds());
    EXPECT_EQ(takeMessages().last(), "Notice: Undone: Dummy of 2 files, 6.3 MB");
    EXPECT_EQ(undoing.value(0), "Undoing Dummy of 2 files, 6.3 MB");
    EXPECT_EQ(readFileBytes(big), blanked("BIG3.BIN"));
}

// With an edit limit of 1K, Dummy of MASTER.BIN's 5000 bytes asks first: No writes nothing, Yes
// blanks the file without keeping anything to undo.
TEST_F(BackgroundOperationTest, ARunTooLargeForUndoIsMadeWithoutItOnlyWhenTheUserSaysSo) {
    const std::string config = dir.file("config");
    std::filesystem::create_directories(config + "/kestrel");
    std::ofstream(config + "/kestrel/undo.conf") << "edit-limit = 1K\n";
    struct ConfigHome {
        explicit ConfigHome(const std::string& path) { setenv("XDG_CONFIG_HOME", path.c_str(), 1); }
        ~ConfigHome() { unsetenv("XDG_CONFIG_HOME"); }
    } configHome(config);
    browseTo(image);
    const auto before = readFileBytes(image);
    const auto blanked =
        withBytesAt(before, dataOffset("MASTER.BIN"), std::vector<uint8_t>(5000, 0));
    const QString question =
        "Warning: It rewrites 5.0 KB, more than the 1.0 KB Kestrel "
        "keeps for undoing one edit (edit-limit in " +
        fromLocalPath(config) + "/kestrel/undo.conf).\n\nGo on without undo for this edit?";
    for (const auto& [answer, after, end] :
         {std::tuple(Answer::No, before, ""),
          std::tuple(Answer::Yes, blanked, " / Notice: File Replaced With a Dummy File")}) {
        selectRows({"MASTER.BIN"});
        prompter->answers = {answer};
        click(C::kDummyButton);
        ASSERT_TRUE(operationEnds());
        EXPECT_EQ(takeMessages().join(" / "), question + end);
        EXPECT_EQ(shown(), "idle");
        EXPECT_EQ(readFileBytes(image), after);
    }
    // The only edit was made without undo, which Undo says.
    window->handleSystemCommand(C::kUndoCommand);
    EXPECT_EQ(takeMessages(), QStringList{"Notice: The last edit, Dummy of MASTER.BIN, 5.0 KB, "
                                          "was made without undo. Nothing before it is kept to "
                                          "undo."});
}

// A.TXT's record points at the primary volume descriptor and runs over the path table behind
// it, as a slip of Modify TOC leaves it. Dummy asks first, No the default: No writes nothing;
// Yes leaves an image that no longer opens, and opening it offers to undo the Dummy, after
// which it opens as before.
TEST_F(BackgroundOperationTest,
       ADummyOverTheDescriptorsIsAskedForAndItsUndoOfferedWhenTheImageFailsToOpen) {
    overwriteBytes(image, recordOf("A.TXT") + 2, extentField(16));
    overwriteBytes(image, recordOf("A.TXT") + 10, extentField(4 * 2048));
    const auto before = readFileBytes(image);
    browseTo(image);
    const QString warning =
        "Warning: A.TXT covers sector 16, the primary volume descriptor.\n\nThese are the "
        "volume's own structures; writing over them may leave the image unreadable until the "
        "edit is undone.\n\nWrite over them all the same?";
    selectRows({"A.TXT"});
    prompter->answers = {Answer::No};
    click(C::kDummyButton);
    ASSERT_TRUE(operationEnds());
    EXPECT_EQ(takeMessages().join(" / "), warning);
    EXPECT_EQ(readFileBytes(image), before);

    prompter->answers = {Answer::Yes};
    click(C::kDummyButton);
    ASSERT_TRUE(operationEnds());
    EXPECT_EQ(takeMessages().join(" / "), warning + " / Notice: File Replaced With a Dummy File");

    prompter->answers = {Answer::Yes};
    browseTo(image);
    const QStringList shown = takeMessages();
    ASSERT_EQ(shown.size(), 2) << shown.join(" / ").toStdString();
    EXPECT_TRUE(shown[0].startsWith("Question (Undo): Error Reading File\n\n"))
        << shown[0].toStdString();
    EXPECT_TRUE(shown[0].contains(", wrote over sectors 16 to 19, the primary volume descriptor"))
        << shown[0].toStdString();
    EXPECT_TRUE(shown[0].endsWith("Undo Dummy of A.TXT, 8.2 KB now?")) << shown[0].toStdString();
    EXPECT_EQ(shown[1], "Notice: Undone: Dummy of A.TXT, 8.2 KB");
    EXPECT_EQ(readFileBytes(image), before);
    EXPECT_EQ(tree()->topLevelItem(0)->text(0), "TEST_DISC");
}

// On a bootable image xorriso made, the disc-kind line fits its width and its tooltip holds
// the whole text; Dummy of the boot catalog or the boot image asks first, naming what would
// break, and No writes nothing.
TEST_F(BackgroundOperationTest, ABootableImageShowsItsWholeKindAndAsksBeforeItsBootIsWritten) {
    const std::string files = dir.file("tree");
    std::filesystem::create_directory(files);
    writeFileBytes(files + "/boot.img", std::vector<uint8_t>(2048, 0xB0));
    writeFileBytes(files + "/a.txt", {'a'});
    const std::string bootable = dir.file("boot.iso");
    const std::string make =
        "xorriso -as mkisofs -quiet -J -R -b boot.img -c boot.cat "
        "-no-emul-boot -o " +
        bootable + " " + files + " 2>/dev/null";
    if (std::system(make.c_str()) != 0) {
        GTEST_SKIP() << "xorriso could not make the image: " << make;
    }
    browseTo(bootable);
    const auto* kind = window->controlAs<QLabel>(C::kDiscKindText);
    EXPECT_EQ(kind->toolTip().isEmpty() ? kind->text() : kind->toolTip(),
              "ISO 9660 - Joliet, Rock Ridge, El Torito");
    EXPECT_LE(kind->fontMetrics().horizontalAdvance(kind->text()), kind->width());

    const auto before = readFileBytes(bootable);
    for (const auto& [row, what] : {std::pair("BOOT.CAT", "sector 33, the El Torito boot catalog"),
                                    std::pair("BOOT.IMG", "sector 34, an El Torito boot image")}) {
        selectRows({row});
        prompter->answers = {Answer::No};
        click(C::kDummyButton);
        ASSERT_TRUE(operationEnds());
        const QStringList shown = takeMessages();
        ASSERT_EQ(shown.size(), 1);
        EXPECT_TRUE(shown[0].startsWith(QString("Warning: ") + row + " covers " + what))
            << shown[0].toStdString();
        EXPECT_EQ(readFileBytes(bootable), before);
    }
}

}  // namespace
}  // namespace kestrel::test
