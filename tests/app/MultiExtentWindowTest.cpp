// A file of several extents in the window: one row with its size and a tooltip that counts
// its extents, refused as the master file and for Modify TOC before any dialog opens, and made
// one extent by an Overwrite that places a longer replacement whole.
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using MultiExtentWindowTest = WindowFixture;

TEST_F(MultiExtentWindowTest, AChainIsOneRowThatSaysSoAndNoRecordEditTakesIt) {
    IsoBuilder chains(Layout::Dvd, "CHAINS");
    chains.addMultiExtentFile(IsoBuilder::kRoot, "BIG.BIN;1",
                              {recordOnly("", 60, 4096), recordOnly("", 50, 1000)});
    chains.addFile(IsoBuilder::kRoot,
                   recordOnly("BROKEN.BIN;1", 70, 2048, isobuilder::kMultiExtentFlag));
    chains.setVolumeSectors(300);
    const auto chained = dir.file("chains.iso");
    chains.writeTo(chained);
    browseTo(chained);
    EXPECT_EQ(column(0), QStringList({"BROKEN.BIN", "BIG.BIN"}));
    EXPECT_EQ(column(2), QStringList({"2048", "5096"}));
    const auto tip = [this](const QString& row) {
        return list()->findItems(row, Qt::MatchExactly, 0).first()->toolTip(2);
    };
    EXPECT_EQ(tip("BIG.BIN"), "Stored in 2 extents");
    EXPECT_EQ(tip("BROKEN.BIN"),
              "Stored in 1 extent\nIts chain of records is broken: the record of extent 1 says "
              "another follows, but the directory's records end there");

    const auto before = readFileBytes(chained);
    failIfADialogStaysOpen();
    for (const auto& [button, refusal] :
         {std::pair(C::kMasterFileButton, "BIG.BIN cannot be the master file:"),
          std::pair(C::kModifyTocButton, "BIG.BIN cannot be edited:")}) {
        selectRows({"BIG.BIN"});
        click(button);
        EXPECT_EQ(takeMessages(),
                  QStringList{QString("Refusal: ") + refusal +
                              "\n\nBIG.BIN is stored in 2 extents, a directory record each, and "
                              "one LBA and size cannot describe a file of several extents; "
                              "nothing was written"});
    }
    EXPECT_TRUE(text(C::kMasterFileText).isEmpty());
    EXPECT_EQ(readFileBytes(chained), before);

    // Overwrite with a longer replacement, placed whole, makes it one extent of one record.
    const std::string replacement = dir.file("BIG.BIN");
    writeFileBytes(replacement, pattern(6000, 5));
    selectRows({"BIG.BIN"});
    prompter->files = {fromLocalPath(replacement)};
    prompter->answers = {Answer::Yes};
    click(C::kOverwriteButton);
    ASSERT_TRUE(operationEnds());
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 2);
    EXPECT_TRUE(messages[0].contains("longer than BIG.BIN (6.0 KB against 5.1 KB)"))
        << messages[0].toStdString();
    EXPECT_EQ(column(2), QStringList({"2048", "6000"}));
    EXPECT_EQ(tip("BIG.BIN"), "");
}

}  // namespace
}  // namespace kestrel::test
