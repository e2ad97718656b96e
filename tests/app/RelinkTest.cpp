// The guards of the record-edit buttons (and the no-image guard of every operation), Master
// File and Relink File(s).
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using RelinkTest = WindowFixture;

const QString kPatchOption =
    "Question (Patch Option): Patch BOTH File Location & File Size?\n"
    "Pressing NO will result in FILE LOCATION ONLY being patched";

TEST_F(RelinkTest, EveryRecordEditIsRefusedUntilAnImageIsChosenAndARowSelected) {
    // The data-moving operations are refused the same way before an image is chosen.
    for (int button : {C::kMasterFileButton, C::kRelinkButton, C::kModifyTocButton,
                       C::kExtractButton, C::kDummyButton, C::kOverwriteButton}) {
        click(button);
        EXPECT_EQ(takeMessages(), QStringList{"Refusal: No ISO Selected!"}) << button;
    }
    EXPECT_FALSE(window->operationRunning());

    browseTo(image);
    const auto before = readFileBytes(image);
    // The master is asked for before the rows; A.TXT is then chosen and the rows cleared.
    for (const auto& [button, row, refusal] :
         {std::tuple(C::kRelinkButton, "", "Refusal: No Master File Selected!"),
          std::tuple(C::kMasterFileButton, "", "Notice: No File Selected!"),
          std::tuple(C::kModifyTocButton, "", "Notice: No File(s) Selected!"),
          std::tuple(C::kMasterFileButton, "A.TXT", ""),
          std::tuple(C::kRelinkButton, "", "Notice: No File(s) Selected!")}) {
        selectRows({row});
        click(button);
        EXPECT_EQ(takeMessages(), *refusal ? QStringList{refusal} : QStringList());
    }
    EXPECT_EQ(readFileBytes(image), before);
}

TEST_F(RelinkTest, YesPatchesLocationAndSizeOfEveryRowAndNoTheLocationOnly) {
    browseTo(image);
    control<QProgressBar>(C::kProgressBar)->setValue(40);
    selectRows({"MASTER.BIN"});
    click(C::kMasterFileButton);
    EXPECT_EQ(control<QProgressBar>(C::kProgressBar)->value(), 0);
    const QString masterLba = cell("MASTER.BIN", 1);
    // The second run is in another directory, answered No: D.TXT keeps its own length.
    for (const auto& [answer, directory, rows, size] :
         {std::tuple(Answer::Yes, 1, QStringList{"A.TXT", "C.TXT"}, "5000"),
          std::tuple(Answer::No, kDocs, QStringList{"D.TXT"}, "5")}) {
        selectDirectory(directory);
        selectRows(rows);
        prompter->answers.push_back(answer);
        click(C::kRelinkButton);
        EXPECT_EQ(takeMessages(), QStringList({kPatchOption, "Notice: File(s) Patched"}));
        // The directory is listed again as it is now.
        for (const auto& row : rows) {
            EXPECT_EQ(cell(row, 1), masterLba);
            EXPECT_EQ(cell(row, 2), size);
        }
        EXPECT_TRUE(list()->selectedItems().isEmpty());
        EXPECT_TRUE(findDirectoryItem(directory)->isSelected());
    }
}

}  // namespace
}  // namespace kestrel::test
