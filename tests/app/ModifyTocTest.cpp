// Modify TOC through the window: the dialog, each way of closing it, and the bytes written.
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using C = CKestrelDlg;
using D = CModifyTocDlg;
using Kind = Message::Kind;

class ModifyTocTest : public WindowFixture {
protected:
    void SetUp() override {
        WindowFixture::SetUp();
        browseTo(image);
        selectRows({"B.TXT", "A.TXT"});  // B.TXT is listed first
        record = recordOf(1, "B.TXT;1");
        readLba = cell("B.TXT", 1).toInt();
        before = readFileBytes(image);
    }

    // Opens the dialog on the selection, lets `act` close it, and returns the messages.
    std::vector<Message> modify(std::function<void(CModifyTocDlg&)> act) {
        whenTocDialogOpens(std::move(act));
        click(C::kModifyTocButton);
        return takeMessages();
    }

    static void enter(CModifyTocDlg& dialog, const QString& lba, const QString& size) {
        dialog.controlAs<QLineEdit>(D::kLbaEdit)->setText(lba);
        dialog.controlAs<QLineEdit>(D::kSizeEdit)->setText(size);
    }
    static void press(CModifyTocDlg& dialog, int button) {
        QTest::mouseClick(dialog.controlAs<QPushButton>(button), Qt::LeftButton);
    }

    std::vector<uint8_t> recordFields() const {
        const auto bytes = readBytesAt(image, record + 2, 16);
        return {bytes.begin(), bytes.end()};
    }

    uint64_t record = 0;
    int readLba = 0;
    std::vector<uint8_t> before;
};

TEST_F(ModifyTocTest, UpdateWritesBothValuesInBothByteOrdersAndRelists) {
    const auto messages = modify([this](CModifyTocDlg& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Modify TOC");
        EXPECT_EQ(dialog.size(), DialogUnits(dialog.font()).toPixels(210, 90));
        QStringList labels;
        for (const auto* label : dialog.findChildren<QLabel*>()) {
            labels.append(label->text());
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
        }
        EXPECT_EQ(labels, QStringList({"LBA Position:", "File Size:",
                                       "Replace original value/s with new value and press update",
                                       "VALUES ARE DECIMAL NOT HEX"}));
        EXPECT_EQ(dialog.controlAs<QPushButton>(D::kUpdate)->text(), "Update");
        EXPECT_EQ(dialog.controlAs<QPushButton>(D::kCancel)->text(), "Cancel");
        EXPECT_EQ(dialog.controlAs<QGroupBox>(D::kNameGroup)->title(), "B.TXT");
        EXPECT_EQ(dialog.controlAs<QLineEdit>(D::kLbaEdit)->text(), QString::number(readLba));
        EXPECT_EQ(dialog.controlAs<QLineEdit>(D::kSizeEdit)->text(), "5");
        EXPECT_EQ(dialog.focusWidget(), dialog.controlAs<QLineEdit>(D::kLbaEdit));
        EXPECT_FALSE(dialog.controlAs<QPushButton>(D::kUpdate)->isDefault());
        EXPECT_FALSE(dialog.controlAs<QPushButton>(D::kCancel)->isDefault());
        enter(dialog, "3000000000", " 42");
        press(dialog, D::kUpdate);
    });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "File(s) Patched"));
    EXPECT_EQ(recordFields(), (std::vector<uint8_t>{0x00, 0x5E, 0xD0, 0xB2, 0xB2, 0xD0, 0x5E, 0x00,
                                                    42, 0, 0, 0, 0, 0, 0, 42}));
    EXPECT_EQ(readFileBytes(image), withBytesAt(before, record + 2, recordFields()));
    EXPECT_EQ(cell("B.TXT", 1), "-1294967296");
    EXPECT_EQ(cell("B.TXT", 2), "42");
    EXPECT_TRUE(list()->selectedItems().isEmpty());

    // Opened again, the dialog shows the record's new values, the LBA as a signed number.
    selectRows({"B.TXT"});
    modify([](CModifyTocDlg& dialog) {
        EXPECT_EQ(dialog.controlAs<QLineEdit>(D::kLbaEdit)->text(), "-1294967296");
        press(dialog, D::kCancel);
    });
}

TEST_F(ModifyTocTest, CancelAndAnLbaOfMinusOneWriteNothingAndSayNothing) {
    auto messages = modify([](CModifyTocDlg& dialog) {
        enter(dialog, "7", "7");
        press(dialog, D::kCancel);
    });
    EXPECT_TRUE(messages.empty());

    selectRows({"B.TXT"});
    messages = modify([](CModifyTocDlg& dialog) {
        enter(dialog, "-1", "7");
        press(dialog, D::kUpdate);
    });
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_F(ModifyTocTest, EscapeAndEnterInAnEditDropTheEditsAndWriteTheReadValuesBack) {
    // Make the big-endian copy of the LBA disagree, so that writing the read values back
    // shows: it is made to follow the little-endian copy.
    overwriteBytes(image, record + 6, {0xEE});
    const auto disagreeing = readFileBytes(image);
    auto messages = modify([](CModifyTocDlg& dialog) {
        enter(dialog, "999", "999");
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "File(s) Patched"));
    EXPECT_EQ(readFileBytes(image), before);

    selectRows({"B.TXT"});
    messages = modify([](CModifyTocDlg& dialog) {
        enter(dialog, "999", "999");
        QTest::keyClick(dialog.controlAs<QLineEdit>(D::kSizeEdit), Qt::Key_Return);
    });
    EXPECT_TRUE(isMessage(messages.at(0), Kind::Notice, "File(s) Patched"));
    EXPECT_EQ(readFileBytes(image), before);
    EXPECT_NE(disagreeing, before);
}

TEST_F(ModifyTocTest, AValueNoRecordCanHoldIsRefusedAndTheDialogStaysOpen) {
    bool stayedOpen = false;
    const auto messages = modify([this, &stayedOpen](CModifyTocDlg& dialog) {
        enter(dialog, "12", "4294967296");
        press(dialog, D::kUpdate);
        stayedOpen = dialog.isVisible();
        ASSERT_EQ(prompter->messages.size(), 1u);
        enter(dialog, "-2147483649", "1");
        press(dialog, D::kUpdate);
        press(dialog, D::kCancel);
    });
    EXPECT_TRUE(stayedOpen);
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].kind, Kind::Refusal);
    EXPECT_TRUE(messages[0].text.startsWith("File Size: 4294967296 is outside"))
        << messages[0].text.toStdString();
    EXPECT_TRUE(messages[1].text.startsWith("LBA Position: -2147483649 is outside"));
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_F(ModifyTocTest, ARecordThatChangedWhileTheDialogWasOpenIsNotWritten) {
    const auto messages = modify([this](CModifyTocDlg& dialog) {
        overwriteBytes(image, record + 10, {99});
        enter(dialog, "1", "1");
        press(dialog, D::kUpdate);
    });
    const auto changed = withBytesAt(before, record + 10, {99});
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, Kind::Refusal);
    EXPECT_TRUE(messages[0].text.startsWith("B.TXT could not be patched"));
    EXPECT_TRUE(messages[0].text.contains("No file was patched."));
    EXPECT_EQ(readFileBytes(image), changed);
}

TEST_F(ModifyTocTest, ARowWhoseRecordIsGoneIsRefusedBeforeTheDialogOpens) {
    overwriteBytes(image, record + 33, {'Q'});
    const auto renamed = readFileBytes(image);
    failIfADialogStaysOpen();
    click(C::kModifyTocButton);
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, Kind::Refusal);
    EXPECT_TRUE(messages[0].text.startsWith("B.TXT cannot be edited:"));
    EXPECT_TRUE(messages[0].text.contains("no longer in its directory"));
    EXPECT_EQ(readFileBytes(image), renamed);
}

}  // namespace
}  // namespace kestrel::test
