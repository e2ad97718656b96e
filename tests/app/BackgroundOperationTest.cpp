// Extract, Dummy and Overwrite through the window: a real worker thread, the buttons and
// CANCEL while it works, the progress display and the end message.
#include <QFileDialog>
#include <QMessageBox>
#include <random>

#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using C = CKestrelDlg;
using Kind = Message::Kind;

constexpr std::array kOperationButtons{
    C::kSwitchLayersButton, C::kExtractButton, C::kDummyButton,     C::kModifyTocButton,
    C::kOverwriteButton,    C::kRelinkButton,  C::kMasterFileButton};

class BackgroundOperationTest : public WindowFixture {
protected:
    // What the window shows at one moment of a run.
    struct Display {
        std::vector<bool> buttonsEnabled;  // in kOperationButtons order
        bool cancelVisible = false;
        int progress = 0;
        QString status;
        QString percent;
    };

    Display display() const {
        Display now;
        for (int id : kOperationButtons) {
            now.buttonsEnabled.push_back(enabled(id));
        }
        now.cancelVisible = visible(C::kCancelButton);
        now.progress = control<QProgressBar>(C::kProgressBar)->value();
        now.status = text(C::kStatusText);
        now.percent = text(C::kPercentText);
        return now;
    }

    // Calls `act` on the window's thread each time the progress bar moves during a run.
    void onProgress(std::function<void(int)> act) {
        QObject::connect(control<QProgressBar>(C::kProgressBar), &QProgressBar::valueChanged,
                         window.get(), act);
    }

    // An image of three files of 3 MiB each, listed BIG3, BIG2, BIG1.
    std::string bigImage(const std::string& name) {
        IsoBuilder big(Layout::CdRomXa, "BIG");
        std::mt19937 random(7);
        for (int n = 1; n <= 3; ++n) {
            FileSpec file;
            file.identifier = "BIG" + std::to_string(n) + ".BIN;1";
            file.size = 3 << 20;
            file.content.resize(file.size);
            for (auto& byte : file.content) {
                byte = static_cast<uint8_t>(random());
            }
            bigData.push_back(file.content);
            big.addFile(IsoBuilder::kRoot, std::move(file));
        }
        const std::string path = dir.file(name);
        big.writeTo(path);
        return path;
    }

    void chooseFolder(const TempDir& folder) {
        prompter->folders.push_back(fromLocalPath(folder.path().string()));
    }

    uint64_t dataOffset(const QString& row) const { return uint64_t{cell(row, 1).toUInt()} * 2048; }

    std::vector<std::vector<uint8_t>> bigData;
    TempDir out;
};

bool allDisabled(const std::vector<bool>& buttons) {
    return std::ranges::none_of(buttons, [](bool on) { return on; });
}

// On a CD image every operation button but Switch Layers is enabled when idle.
const std::vector<bool> kIdleOnCd{false, true, true, true, true, true, true};

TEST_F(BackgroundOperationTest, ExtractCopiesEachSelectedFileAndEndsInItsOwnOrder) {
    browseTo(image);
    const auto before = readFileBytes(image);
    selectRows({"A.TXT", "C.TXT", "MASTER.BIN"});
    chooseFolder(out);
    std::vector<Display> during;
    onProgress([&](int) { during.push_back(display()); });
    std::vector<Display> atMessage;
    prompter->onShow = [&](const Message&) { atMessage.push_back(display()); };

    click(C::kExtractButton);
    ASSERT_TRUE(operationEnds());

    EXPECT_EQ(prompter->folderTitles, std::vector<QString>{"Select Folder To Extract Files To"});
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "Selected Files Extracted"));
    // Behind the message the display is cleared while the buttons wait for it to close.
    ASSERT_EQ(atMessage.size(), 1u);
    EXPECT_TRUE(allDisabled(atMessage[0].buttonsEnabled));
    EXPECT_TRUE(atMessage[0].cancelVisible);
    EXPECT_EQ(atMessage[0].progress, 0);
    EXPECT_EQ(atMessage[0].status, "");
    EXPECT_EQ(atMessage[0].percent, "");

    ASSERT_FALSE(during.empty());
    for (const auto& moment : during) {
        EXPECT_TRUE(allDisabled(moment.buttonsEnabled));
        EXPECT_TRUE(moment.cancelVisible);
    }
    // Each file's last value: 7 bytes end at 7%, 5 at 5%, 5000 at 98%, listed top down.
    QStringList ends;
    for (const auto& moment : during) {
        if (moment.progress == 0) {
            continue;  // a reset, between files or at the end
        }
        const QString end = moment.status + " " + QString::number(moment.progress);
        if (!ends.isEmpty() && ends.back().startsWith(moment.status + " ")) {
            ends.back() = end;
        } else {
            ends.append(end);
        }
    }
    EXPECT_EQ(ends, (QStringList{"Extracting C.TXT 7", "Extracting A.TXT 5",
                                 "Extracting MASTER.BIN 98"}));

    EXPECT_FALSE(visible(C::kCancelButton));
    EXPECT_EQ(display().buttonsEnabled, kIdleOnCd);
    EXPECT_EQ(readFileBytes(out.file("A.TXT")), std::vector<uint8_t>({'a', 'l', 'p', 'h', 'a'}));
    EXPECT_EQ(readBytesAt(out.file("C.TXT"), 0, 7), "charlie");
    auto master = std::vector<uint8_t>(kMasterSize, 0);
    std::ranges::copy(std::string("master data"), master.begin());
    EXPECT_EQ(readFileBytes(out.file("MASTER.BIN")), master);
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_F(BackgroundOperationTest, DummyBlanksEachFileAndEnablesTheButtonsBeforeItsMessage) {
    browseTo(image);
    const auto before = readFileBytes(image);
    selectRows({"A.TXT", "B.TXT"});
    const uint64_t a = dataOffset("A.TXT");
    const uint64_t b = dataOffset("B.TXT");
    std::vector<Display> atMessage;
    prompter->onShow = [&](const Message&) { atMessage.push_back(display()); };

    click(C::kDummyButton);
    ASSERT_TRUE(operationEnds());

    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "File Replaced With a Dummy File"));
    ASSERT_EQ(atMessage.size(), 1u);
    EXPECT_EQ(atMessage[0].buttonsEnabled, kIdleOnCd);
    EXPECT_FALSE(atMessage[0].cancelVisible);
    EXPECT_EQ(atMessage[0].status, "");
    const std::vector<uint8_t> zeros(5, 0);
    EXPECT_EQ(readFileBytes(image), withBytesAt(withBytesAt(before, a, zeros), b, zeros));
    EXPECT_EQ(cell("A.TXT", 2), "5");
}

TEST_F(BackgroundOperationTest, OverwriteReplacesTheTopmostRowAndShowsItsMessageFirst) {
    browseTo(image);
    const auto before = readFileBytes(image);
    const std::string replacement = dir.file("replacement.bin");
    writeFileBytes(replacement, {'R', 'E', 'P', 'L', 'A', 'C', 'E', 'D'});
    selectRows({"A.TXT", "B.TXT"});  // B.TXT is listed above A.TXT
    prompter->files.push_back(fromLocalPath(replacement));
    std::vector<Display> atMessage;
    prompter->onShow = [&](const Message&) { atMessage.push_back(display()); };

    click(C::kOverwriteButton);
    ASSERT_TRUE(operationEnds());

    EXPECT_EQ(prompter->fileFilters.back(), "B.TXT (B.TXT) (B.TXT)");
    EXPECT_EQ(prompter->initialNames.back(), "B.TXT");
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "Selected File Replaced."));
    // The message comes while the final state still shows; the reset follows it.
    ASSERT_EQ(atMessage.size(), 1u);
    EXPECT_TRUE(allDisabled(atMessage[0].buttonsEnabled));
    EXPECT_EQ(atMessage[0].status, "Replacing B.TXT");
    EXPECT_EQ(atMessage[0].percent, "5%");
    EXPECT_EQ(atMessage[0].progress, 5);
    EXPECT_EQ(display().buttonsEnabled, kIdleOnCd);
    EXPECT_EQ(text(C::kStatusText), "");
    EXPECT_EQ(readFileBytes(image),
              withBytesAt(before, dataOffset("B.TXT"), {'R', 'E', 'P', 'L', 'A'}));
}

TEST_F(BackgroundOperationTest, NothingRunsWithoutARowOrAChoice) {
    browseTo(image);
    const auto before = readFileBytes(image);
    std::vector<Display> atMessage;
    prompter->onShow = [&](const Message&) { atMessage.push_back(display()); };
    for (int button : {C::kExtractButton, C::kDummyButton, C::kOverwriteButton}) {
        click(button);
        ASSERT_TRUE(operationEnds());
        const auto messages = takeMessages();
        ASSERT_EQ(messages.size(), 1u) << button;
        EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "No File(s) Selected!"));
        EXPECT_EQ(atMessage.back().buttonsEnabled, kIdleOnCd);
        EXPECT_FALSE(atMessage.back().cancelVisible);
    }
    EXPECT_TRUE(prompter->folderTitles.empty());
    EXPECT_EQ(prompter->fileFilters.size(), 1u);  // Browse's own

    // The folder picker and the replacement dialog dismissed: no message, nothing written.
    selectRows({"A.TXT"});
    prompter->folders.push_back(QString());
    click(C::kExtractButton);
    ASSERT_TRUE(operationEnds());
    click(C::kOverwriteButton);
    ASSERT_TRUE(operationEnds());
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_FALSE(visible(C::kCancelButton));
    EXPECT_EQ(display().buttonsEnabled, kIdleOnCd);
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_F(BackgroundOperationTest, CancelDuringTheSecondOfThreeFilesKeepsItsPartAndSkipsTheThird) {
    browseTo(bigImage("big.iso"));
    selectRows({"BIG1.BIN", "BIG2.BIN", "BIG3.BIN"});
    chooseFolder(out);
    onProgress([this](int value) {
        if (value == 2 && text(C::kStatusText) == "Extracting BIG2.BIN") {
            click(C::kCancelButton);
        }
    });

    click(C::kExtractButton);
    ASSERT_TRUE(operationEnds());

    EXPECT_TRUE(isMessage(takeMessages().at(0), Kind::Notice, "Aborted Extraction"));
    EXPECT_EQ(readFileBytes(out.file("BIG3.BIN")), bigData[2]);
    // The percentage rises every 31,458 bytes; CANCEL at 2% stops after the next block.
    const auto partial = readFileBytes(out.file("BIG2.BIN"));
    EXPECT_EQ(partial.size(), 3u * 31458);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), bigData[1].begin()));
    EXPECT_FALSE(std::filesystem::exists(out.file("BIG1.BIN")));
    EXPECT_FALSE(visible(C::kCancelButton));
    EXPECT_EQ(display().buttonsEnabled, kIdleOnCd);
}

TEST_F(BackgroundOperationTest, ClosingTheWindowStopsAnExtractionAndLetsADummyFinishItsFile) {
    const std::string big = bigImage("big.iso");
    browseTo(big);
    const auto before = readFileBytes(big);
    selectRows({"BIG1.BIN", "BIG3.BIN"});
    chooseFolder(out);
    bool closed = false;
    onProgress([&](int value) {
        if (value == 1 && !closed) {
            closed = true;
            QTimer::singleShot(0, window.get(), [this] { window->reject(); });
        }
    });
    click(C::kExtractButton);
    ASSERT_TRUE(operationEnds());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_LT(readFileBytes(out.file("BIG3.BIN")).size(), bigData[2].size());
    EXPECT_FALSE(std::filesystem::exists(out.file("BIG1.BIN")));

    window->show();
    closed = false;
    selectRows({"BIG1.BIN", "BIG3.BIN"});
    const uint64_t first = dataOffset("BIG3.BIN");
    click(C::kDummyButton);
    ASSERT_TRUE(operationEnds());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_EQ(readFileBytes(big), withBytesAt(before, first, std::vector<uint8_t>(3 << 20, 0)));
}

TEST_F(BackgroundOperationTest, BrowsingDuringARunLeavesTheRunOnTheImageItStartedOn) {
    const std::string big = bigImage("big.iso");
    browseTo(big);
    const auto bigBefore = readFileBytes(big);
    const auto otherBefore = readFileBytes(image);
    selectRows({"BIG2.BIN", "BIG3.BIN"});
    const uint64_t second = dataOffset("BIG2.BIN");
    const uint64_t third = dataOffset("BIG3.BIN");
    bool browsed = false;
    onProgress([&](int) {
        if (!browsed) {
            browsed = true;
            browseTo(image);
            selectRows({"A.TXT"});
        }
    });
    click(C::kDummyButton);
    ASSERT_TRUE(operationEnds());

    const std::vector<uint8_t> zeros(3 << 20, 0);
    EXPECT_EQ(readFileBytes(big), withBytesAt(withBytesAt(bigBefore, second, zeros), third, zeros));
    EXPECT_EQ(readFileBytes(image), otherBefore);
    EXPECT_EQ(tree()->topLevelItem(0)->text(0), "TEST_DISC");
    EXPECT_EQ(display().buttonsEnabled, kIdleOnCd);
}

}  // namespace
}  // namespace kestrel::test

namespace kestrel::test {
namespace {

// The worker asks for the real folder picker and message box on the window's thread.
TEST_F(BackgroundOperationTest, ExtractWorksWithTheRealFolderPickerAndMessageBox) {
    CKestrelDlg real(nullptr, layerCopy);
    real.show();
    real.openChosenImage(fromLocalPath(image));
    auto* rows = real.controlAs<QTreeWidget>(C::kFileList);
    rows->findItems("A.TXT", Qt::MatchExactly).first()->setSelected(true);
    QStringList shown;
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* picker = qobject_cast<QFileDialog*>(modal)) {
            picker->setDirectory(QString::fromStdString(out.path().string()));
            static_cast<QDialog*>(picker)->accept();
        } else if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            shown.append(box->text());
            box->accept();
        }
    });
    answerer.start(20);

    QTest::mouseClick(real.controlAs<QPushButton>(C::kExtractButton), Qt::LeftButton);
    QDeadlineTimer deadline(30000);
    while (real.operationRunning() && !deadline.hasExpired()) {
        QTest::qWait(5);
    }
    EXPECT_FALSE(real.operationRunning());
    EXPECT_EQ(shown, QStringList{"Selected Files Extracted"});
    EXPECT_EQ(readBytesAt(out.file("A.TXT"), 0, 5), "alpha");
}

}  // namespace
}  // namespace kestrel::test
