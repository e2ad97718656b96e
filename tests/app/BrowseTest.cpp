// Browse, the directory tree and the file list.
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using BrowseTest = WindowFixture;
using C = CKestrelDlg;

QStringList childTexts(const QTreeWidgetItem* item) {
    QStringList texts;
    for (int child = 0; child < item->childCount(); ++child) {
        texts.append(item->child(child)->text(0));
    }
    return texts;
}

TEST_F(BrowseTest, OpensTheChosenImageIntoTheTreeAndListsItsRoot) {
    browseTo(image);
    ASSERT_EQ(prompter->fileFilters, std::vector<QString>{"ISO Images (*.iso) (*.iso)"});
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_EQ(control<QLineEdit>(C::kPathEdit)->text(), fromLocalPath(image));
    EXPECT_EQ(text(C::kDiscKindText), "CD-ROM");

    ASSERT_EQ(tree()->topLevelItemCount(), 1);
    QTreeWidgetItem* root = tree()->topLevelItem(0);
    EXPECT_EQ(root->text(0), "TEST_DISC");
    EXPECT_EQ(childTexts(root), QStringList({"DOCS", "EMPTY"}));
    EXPECT_EQ(childTexts(root->child(0)), QStringList({"DEEP"}));
    EXPECT_TRUE(root->isSelected());
    EXPECT_TRUE(root->isExpanded());
    EXPECT_FALSE(root->child(0)->isExpanded());
    EXPECT_FALSE(root->child(0)->child(0)->icon(0).isNull());

    // Plain files only, last record first.
    EXPECT_EQ(column(0), QStringList({"C.TXT", "B.TXT", "A.TXT", "MASTER.BIN"}));
    EXPECT_EQ(cell("MASTER.BIN", 2), QString::number(kMasterSize));
    EXPECT_EQ(cell("A.TXT", 3), "Febuary 3, 2003");
    EXPECT_EQ(cell("B.TXT", 3), "Novemeber 30, 1999");
}

TEST_F(BrowseTest, SelectingADirectoryListsItAndNoSelectionListsNothing) {
    browseTo(image);
    selectDirectory(kDeep);
    EXPECT_EQ(column(0), QStringList({"E.TXT"}));
    selectDirectory(kEmpty);
    EXPECT_EQ(list()->topLevelItemCount(), 0);
    selectDirectory(kDocs);
    EXPECT_EQ(column(0), QStringList({"D.TXT"}));
    tree()->clearSelection();
    EXPECT_EQ(list()->topLevelItemCount(), 0);
}

TEST_F(BrowseTest, ADirectoryThatCannotBeReadAnyMoreIsReportedAndListsNothing) {
    browseTo(image);
    std::filesystem::remove(image);
    selectDirectory(kDocs);
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.startsWith("Error Reading File\n"));
    EXPECT_TRUE(messages[0].text.contains("No such file or directory"));
    EXPECT_EQ(list()->topLevelItemCount(), 0);
}

TEST_F(BrowseTest, CancellingTheFileDialogChangesNothing) {
    browseTo(image);
    selectDirectory(kDocs);
    selectRows({"D.TXT"});
    click(C::kMasterFileButton);
    const QString masterLine = text(C::kMasterFileText);
    ASSERT_FALSE(masterLine.isEmpty());

    prompter->files.push_back(QString());
    click(C::kBrowseButton);
    EXPECT_EQ(window->selectedIsoPath(), image);
    EXPECT_EQ(text(C::kMasterFileText), masterLine);
    EXPECT_EQ(column(0), QStringList({"D.TXT"}));
    EXPECT_TRUE(findDirectoryItem(kDocs)->isSelected());
}

TEST_F(BrowseTest, ASecondImageReplacesTheTreeAndDropsTheMasterFile) {
    browseTo(image);
    selectRows({"A.TXT"});
    click(C::kMasterFileButton);

    IsoBuilder other(Layout::CdRomXa, "OTHER DISC");
    other.addDirectory(IsoBuilder::kRoot, "ONLY");
    other.addFile(IsoBuilder::kRoot, textFile("Z.TXT;1", "zulu"));
    const auto otherImage = dir.file("other.iso");
    other.writeTo(otherImage);
    browseTo(otherImage);

    ASSERT_EQ(tree()->topLevelItemCount(), 1);
    EXPECT_EQ(tree()->topLevelItem(0)->text(0), "OTHER");  // the label's first word
    EXPECT_EQ(childTexts(tree()->topLevelItem(0)), QStringList({"ONLY"}));
    EXPECT_EQ(column(0), QStringList({"Z.TXT"}));
    EXPECT_TRUE(text(C::kMasterFileText).isEmpty());

    selectRows({"Z.TXT"});
    click(C::kRelinkButton);
    const auto messages = takeMessages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(isMessage(messages[0], Message::Kind::Refusal, "No Master File Selected!"));
}

TEST_F(BrowseTest, AnImageThatCannotBeReadIsReportedAndLeavesNothingOfTheLastOne) {
    browseTo(image);
    const auto shortImage = dir.file("short.iso");
    writeFileBytes(shortImage, std::vector<uint8_t>(40000, 0));
    const auto missing = dir.file("missing.iso");

    for (const auto& [path, reason] : {std::pair(shortImage, "no ISO 9660 volume"),
                                       std::pair(missing, "No such file or directory")}) {
        browseTo(path);
        const auto messages = takeMessages();
        ASSERT_EQ(messages.size(), 1u) << path;
        EXPECT_EQ(messages[0].kind, Message::Kind::Notice);
        EXPECT_TRUE(messages[0].text.startsWith("Error Reading File\n")) << path;
        EXPECT_TRUE(messages[0].text.contains(fromLocalPath(path)));
        EXPECT_TRUE(messages[0].text.contains(reason)) << messages[0].text.toStdString();

        EXPECT_EQ(tree()->topLevelItemCount(), 0);
        EXPECT_EQ(list()->topLevelItemCount(), 0);
        EXPECT_TRUE(text(C::kDiscKindText).isEmpty());
        EXPECT_EQ(control<QLineEdit>(C::kPathEdit)->text(), fromLocalPath(path));

        click(C::kMasterFileButton);
        EXPECT_TRUE(isMessage(takeMessages().at(0), Message::Kind::Notice, "No File Selected!"));
    }
}

TEST_F(BrowseTest, NamesWithAnyBytesAreListedAndFoundAgain) {
    IsoBuilder odd(Layout::Dvd, "CAF\xC9");
    odd.addFile(IsoBuilder::kRoot, textFile("CAF\xC9.TXT;1", "latin"));
    odd.addFile(IsoBuilder::kRoot, textFile(std::string("TAB\tNUL\0X;1", 11), "control"));
    const auto oddImage = dir.file("odd.iso");
    odd.writeTo(oddImage);
    browseTo(oddImage);

    EXPECT_EQ(tree()->topLevelItem(0)->text(0), QString::fromUtf8("CAFÉ"));
    ASSERT_EQ(list()->topLevelItemCount(), 2);
    EXPECT_EQ(column(0).last(), QString::fromUtf8("CAFÉ.TXT"));
    for (int row = 0; row < 2; ++row) {
        list()->clearSelection();
        list()->topLevelItem(row)->setSelected(true);
        click(C::kMasterFileButton);
        EXPECT_TRUE(takeMessages().empty()) << row;
        EXPECT_EQ(text(C::kMasterFileText),
                  "Selected Master File: " + list()->topLevelItem(row)->text(0));
    }
}

}  // namespace
}  // namespace kestrel::test
