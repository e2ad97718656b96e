// The guards of the record-edit buttons (and the no-image guard of every operation), Master
// File and Relink File(s).
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using RelinkTest = WindowFixture;
using C = CKestrelDlg;
using Kind = Message::Kind;

const QString kPatchOption =
    "Patch BOTH File Location & File Size?\n"
    "Pressing NO will result in FILE LOCATION ONLY being patched";

std::vector<uint8_t> bothEndian(uint32_t value) {
    return {static_cast<uint8_t>(value),       static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24),
            static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8),  static_cast<uint8_t>(value)};
}

TEST_F(RelinkTest, EveryRecordEditIsRefusedUntilAnImageIsChosenAndARowSelected) {
    // The data-moving operations are refused the same way before an image is chosen.
    for (int button : {C::kMasterFileButton, C::kRelinkButton, C::kModifyTocButton,
                       C::kExtractButton, C::kDummyButton, C::kOverwriteButton}) {
        click(button);
        const auto messages = takeMessages();
        ASSERT_EQ(messages.size(), 1u) << button;
        EXPECT_TRUE(isMessage(messages[0], Kind::Refusal, "No ISO Selected!")) << button;
    }
    EXPECT_FALSE(window->operationRunning());

    browseTo(image);
    const auto before = readFileBytes(image);
    click(C::kRelinkButton);  // the master is asked for before the rows
    EXPECT_TRUE(isMessage(takeMessages().at(0), Kind::Refusal, "No Master File Selected!"));
    click(C::kMasterFileButton);
    EXPECT_TRUE(isMessage(takeMessages().at(0), Kind::Notice, "No File Selected!"));
    click(C::kModifyTocButton);
    EXPECT_TRUE(isMessage(takeMessages().at(0), Kind::Notice, "No File(s) Selected!"));

    selectRows({"A.TXT"});
    click(C::kMasterFileButton);
    list()->clearSelection();
    click(C::kRelinkButton);
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Notice, "No File(s) Selected!"));
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_F(RelinkTest, MasterFileTakesTheFirstSelectedRowAndShowsItsName) {
    browseTo(image);
    control<QProgressBar>(C::kProgressBar)->setValue(40);
    selectRows({"MASTER.BIN", "B.TXT"});  // B.TXT is listed above MASTER.BIN
    click(C::kMasterFileButton);
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_EQ(text(C::kMasterFileText), "Selected Master File: B.TXT");
    EXPECT_EQ(control<QProgressBar>(C::kProgressBar)->value(), 0);

    // A row whose record has gone is refused, and the master chosen before stays.
    overwriteBytes(image, recordOf(1, "A.TXT;1") + 33, {'Q'});
    selectRows({"A.TXT"});
    click(C::kMasterFileButton);
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].kind, Kind::Refusal);
    EXPECT_TRUE(messages[0].text.startsWith("A.TXT cannot be the master file:"));
    EXPECT_EQ(text(C::kMasterFileText), "Selected Master File: B.TXT");
}

TEST_F(RelinkTest, YesPatchesLocationAndSizeOfEveryRowAndNoTheLocationOnly) {
    browseTo(image);
    selectRows({"MASTER.BIN"});
    click(C::kMasterFileButton);
    const uint32_t masterLba = cell("MASTER.BIN", 1).toUInt();
    const auto before = readFileBytes(image);

    selectRows({"A.TXT", "C.TXT"});
    prompter->answers.push_back(Answer::Yes);
    click(C::kRelinkButton);
    auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(isMessage(messages[0], Kind::Question, kPatchOption));
    EXPECT_EQ(messages[0].caption, "Patch Option");
    EXPECT_TRUE(isMessage(messages[1], Kind::Notice, "File(s) Patched"));

    auto both = bothEndian(masterLba);
    const auto size = bothEndian(kMasterSize);
    both.insert(both.end(), size.begin(), size.end());
    auto expected = withBytesAt(before, recordOf(1, "A.TXT;1") + 2, both);
    expected = withBytesAt(expected, recordOf(1, "C.TXT;1") + 2, both);
    EXPECT_EQ(readFileBytes(image), expected);
    EXPECT_EQ(cell("A.TXT", 1), QString::number(masterLba));
    EXPECT_EQ(cell("C.TXT", 2), QString::number(kMasterSize));
    EXPECT_TRUE(list()->selectedItems().isEmpty());
    EXPECT_TRUE(tree()->topLevelItem(0)->isSelected());

    // Another directory, answered No: the location only; D.TXT keeps its own length.
    selectDirectory(kDocs);
    selectRows({"D.TXT"});
    prompter->answers.push_back(Answer::No);
    click(C::kRelinkButton);
    EXPECT_TRUE(isMessage(takeMessages().at(1), Kind::Notice, "File(s) Patched"));
    EXPECT_EQ(readFileBytes(image),
              withBytesAt(expected, recordOf(kDocs, "D.TXT;1") + 2, bothEndian(masterLba)));
    EXPECT_EQ(column(1), QStringList({QString::number(masterLba)}));
    EXPECT_EQ(column(2), QStringList({"5"}));
    EXPECT_TRUE(findDirectoryItem(kDocs)->isSelected());
}

TEST_F(RelinkTest, AFailedRowIsReportedWithTheRowsPatchedBeforeItAndNeverAsSuccess) {
    browseTo(image);
    selectRows({"MASTER.BIN"});
    click(C::kMasterFileButton);
    const uint32_t masterLba = cell("MASTER.BIN", 1).toUInt();
    selectRows({"A.TXT", "B.TXT", "C.TXT"});
    // B.TXT is renamed on disk while the list still shows it.
    overwriteBytes(image, recordOf(1, "B.TXT;1") + 33, {'Q'});
    const auto before = readFileBytes(image);

    prompter->answers.push_back(Answer::No);
    click(C::kRelinkButton);
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].kind, Kind::Refusal);
    const QString report = messages[1].text;
    EXPECT_TRUE(report.startsWith("B.TXT could not be patched")) << report.toStdString();
    EXPECT_TRUE(report.contains("Patched before the failure: C.TXT.")) << report.toStdString();
    EXPECT_FALSE(report.contains("File(s) Patched"));

    EXPECT_EQ(readFileBytes(image),
              withBytesAt(before, recordOf(1, "C.TXT;1") + 2, bothEndian(masterLba)));
    EXPECT_EQ(column(0), QStringList({"C.TXT", "Q.TXT", "A.TXT", "MASTER.BIN"}));
}

}  // namespace
}  // namespace kestrel::test
