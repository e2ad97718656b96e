// Refusals through the window: each names the row and the reason, and writes nothing of it.
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using FaultMessageTest = WindowFixture;

// B.TXT is renamed Q.TXT on disk while the list still shows it.
TEST_F(FaultMessageTest, ARowWhoseRecordChangedSinceItWasListedIsRefusedByEveryAction) {
    browseTo(image);
    selectRows({"MASTER.BIN"});
    click(C::kMasterFileButton);
    const uint32_t masterLba = cell("MASTER.BIN", 1).toUInt();
    overwriteBytes(image, recordOf("B.TXT") + 33, {'Q'});
    TempDir out;
    prompter->answers = {Answer::No};
    // The first selected row is the one Master File, Modify TOC and Overwrite take.
    const std::vector<std::tuple<int, QString, QString, QString>> cases{
        {C::kMasterFileButton, "B.TXT MASTER.BIN", "B.TXT cannot be the master file:", ""},
        {C::kModifyTocButton, "B.TXT A.TXT", "B.TXT cannot be edited:", ""},
        {C::kOverwriteButton, "B.TXT A.TXT", "B.TXT was not replaced:", ""},
        {C::kExtractButton, "B.TXT", "These files were not extracted:\n\nB.TXT: ", ""},
        {C::kDummyButton, "B.TXT",
         "These files were not replaced with a dummy file:\n\nB.TXT: ", ""},
        {C::kRelinkButton, "A.TXT B.TXT C.TXT",
         "B.TXT could not be patched:", "\n\nPatched before the failure: C.TXT."},
    };
    failIfADialogStaysOpen();
    for (const auto& [button, rows, start, end] : cases) {
        SCOPED_TRACE(start.toStdString());
        const auto before = readFileBytes(image);
        selectRows(rows.split(' '));
        prompter->folders = {fromLocalPath(out.path().string())};
        click(button);
        ASSERT_TRUE(operationEnds());
        const auto messages = takeMessages();
        ASSERT_FALSE(messages.empty());
        EXPECT_TRUE(messages.back().startsWith("Refusal: " + start))
            << messages.back().toStdString();
        EXPECT_TRUE(messages.back().endsWith(end));
        EXPECT_EQ(readFileBytes(image),
                  button != C::kRelinkButton
                      ? before
                      : withBytesAt(before, recordOf("C.TXT") + 2, extentField(masterLba)));
    }
    EXPECT_EQ(text(C::kMasterFileText), "Selected Master File: MASTER.BIN");
    EXPECT_EQ(prompter->fileRequests.size(), 1u);  // Browse's: no replacement was asked for
    // Relink's failure lists the directory again as it is now.
    EXPECT_EQ(column(0), QStringList({"ZERO.BIN", "C.TXT", "Q.TXT", "A.TXT", "MASTER.BIN"}));

    // A record that changes while the Modify TOC dialog is open is not written either.
    const auto before = readFileBytes(image);
    selectRows({"A.TXT"});
    modifyToc([this](D& dialog) {
        overwriteBytes(image, recordOf("A.TXT") + 10, {99});
        press(dialog, D::kUpdate);
    });
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith("Refusal: A.TXT could not be patched:\n\n"));
    EXPECT_TRUE(messages[0].endsWith("\n\nNo file was patched."));
    EXPECT_EQ(readFileBytes(image), withBytesAt(before, recordOf("A.TXT") + 10, {99}));
}

}  // namespace
}  // namespace kestrel::test
