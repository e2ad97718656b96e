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
        before = readFileBytes(image);
    }

    // Opens the dialog on the selection, lets `act` close it, and returns the messages.
    std::vector<Message> modify(std::function<void(D&)> act) {
        whenTocDialogOpens(std::move(act));
        click(C::kModifyTocButton);
        return takeMessages();
    }

    static QLineEdit* edit(D& dialog, int id) { return dialog.controlAs<QLineEdit>(id); }
    static void enter(D& dialog, const QString& lba, const QString& size) {
        edit(dialog, D::kLbaEdit)->setText(lba);
        edit(dialog, D::kSizeEdit)->setText(size);
    }
    static void press(D& dialog, int button) {
        QTest::mouseClick(dialog.controlAs<QPushButton>(button), Qt::LeftButton);
    }

    // The record's extent and data length, each little-endian then big-endian.
    static std::vector<uint8_t> fields(uint32_t lba, uint32_t size) {
        std::vector<uint8_t> bytes;
        for (const uint32_t value : {lba, size}) {
            for (int shift : {0, 8, 16, 24, 24, 16, 8, 0}) {
                bytes.push_back(static_cast<uint8_t>(value >> shift));
            }
        }
        return bytes;
    }

    uint64_t record = 0;
    std::vector<uint8_t> before;
};

TEST_F(ModifyTocTest, UpdateWritesBothValuesInBothByteOrdersAndShowsThemAgainAsTheListDoes) {
    const QString readLba = cell("B.TXT", 1);
    auto messages = modify([&readLba](D& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Modify TOC");
        EXPECT_EQ(dialog.controlAs<QGroupBox>(D::kNameGroup)->title(), "B.TXT");
        EXPECT_EQ(edit(dialog, D::kLbaEdit)->text(), readLba);
        EXPECT_EQ(edit(dialog, D::kSizeEdit)->text(), "5");
        EXPECT_EQ(dialog.focusWidget(), edit(dialog, D::kLbaEdit));
        QStringList labels;
        for (const auto* label : dialog.findChildren<QLabel*>()) {
            labels.append(label->text());
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width());
        }
        EXPECT_EQ(labels, QStringList({"LBA Position:", "File Size:",
                                       "Replace original value/s with new value and press update",
                                       "VALUES ARE DECIMAL NOT HEX"}));
        enter(dialog, "3000000000", " 4294967295");
        press(dialog, D::kUpdate);
    });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "File(s) Patched"));
    const auto written = withBytesAt(before, record + 2, fields(3000000000, UINT32_MAX));
    EXPECT_EQ(readFileBytes(image), written);
    EXPECT_EQ(cell("B.TXT", 1), "-1294967296");
    EXPECT_EQ(cell("B.TXT", 2), "4294967295");
    EXPECT_TRUE(list()->selectedItems().isEmpty());

    // Opened again, the dialog shows the LBA signed and the size unsigned, and takes both back.
    selectRows({"B.TXT"});
    messages = modify([](D& dialog) {
        EXPECT_EQ(edit(dialog, D::kLbaEdit)->text(), "-1294967296");
        EXPECT_EQ(edit(dialog, D::kSizeEdit)->text(), "4294967295");
        press(dialog, D::kUpdate);
    });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "File(s) Patched"));
    EXPECT_EQ(readFileBytes(image), written);
}

TEST_F(ModifyTocTest, OnlyUpdateAndEnterInAnEditWriteAndSaySo) {
    const std::vector<std::tuple<const char*, bool, std::function<void(D&)>>> waysOut{
        {"Update", true, [](D& d) { press(d, D::kUpdate); }},
        {"Enter in the LBA", true,
         [](D& d) { QTest::keyClick(edit(d, D::kLbaEdit), Qt::Key_Return); }},
        {"Enter in the size", true,
         [](D& d) { QTest::keyClick(edit(d, D::kSizeEdit), Qt::Key_Enter, Qt::KeypadModifier); }},
        {"Cancel", false, [](D& d) { press(d, D::kCancel); }},
        {"LBA -1", false,
         [](D& d) {
             edit(d, D::kLbaEdit)->setText("-1");
             press(d, D::kUpdate);
         }},
        {"Escape", false, [](D& d) { QTest::keyClick(edit(d, D::kLbaEdit), Qt::Key_Escape); }},
        {"close box", false, [](D& d) { d.close(); }},
    };
    for (uint32_t way = 0; way < waysOut.size(); ++way) {
        const auto& [name, writes, act] = waysOut[way];
        const auto start = readFileBytes(image);
        // Values of its own for each way out, so that every write shows.
        const uint32_t lba = 100 + way;
        const uint32_t size = 200 + way;
        selectRows({"B.TXT"});
        const auto messages = modify([&act, lba, size](D& dialog) {
            enter(dialog, QString::number(lba), QString::number(size));
            act(dialog);
        });
        if (writes) {
            ASSERT_EQ(messages.size(), 1u) << name;
            EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "File(s) Patched")) << name;
            EXPECT_EQ(readFileBytes(image), withBytesAt(start, record + 2, fields(lba, size)))
                << name;
        } else {
            EXPECT_TRUE(messages.empty()) << name;
            EXPECT_EQ(readFileBytes(image), start) << name;
        }
    }
}

TEST_F(ModifyTocTest, AValueThatIsNotADecimalNumberInItsFieldsRangeIsRefusedAndTheDialogStaysOpen) {
    const std::vector<std::array<QString, 3>> cases{
        {"abc", "5", "LBA Position: \"abc\" is not a decimal number."},
        {"-2147483649", "5", "LBA Position: \"-2147483649\" is outside -2147483648 to 4294967295."},
        {"12", "230x", "File Size: \"230x\" is not a decimal number."},
        {"12", "-1", "File Size: \"-1\" is outside 0 to 4294967295."},
    };
    const auto messages = modify([this, &cases](D& dialog) {
        for (const auto& [lba, size, refusal] : cases) {
            enter(dialog, lba, size);
            QTest::keyClick(edit(dialog, D::kSizeEdit), Qt::Key_Return);
            EXPECT_TRUE(dialog.isVisible()) << refusal.toStdString();
            const auto shown = takeMessages();
            ASSERT_EQ(shown.size(), 1u) << refusal.toStdString();
            EXPECT_TRUE(isMessage(shown[0], Kind::Refusal, refusal + "\nNothing was written."))
                << shown[0].text.toStdString();
        }
        press(dialog, D::kCancel);
    });
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_F(ModifyTocTest, ARecordThatChangedWhileTheDialogWasOpenIsNotWritten) {
    const auto messages = modify([this](D& dialog) {
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
