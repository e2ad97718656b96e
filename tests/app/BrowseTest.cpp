// Browse, the directory tree and the file list.
#include <QGroupBox>

#include "ops/ModifyToc.h"
#include "support/UdfImages.h"
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using BrowseTest = WindowFixture;

// "ROOT(CHILD(GRANDCHILD) CHILD)"
QString outline(const QTreeWidgetItem* item) {
    QStringList children;
    for (int child = 0; child < item->childCount(); ++child) {
        children.append(outline(item->child(child)));
    }
    return item->text(0) + (children.isEmpty() ? "" : "(" + children.join(' ') + ")");
}

TEST_F(BrowseTest, OpensTheChosenImageIntoTheTreeAndListsEachDirectorySelected) {
    browseTo(image);
    ASSERT_EQ(
        prompter->fileRequests,
        std::vector<QString>{"Disc Images (*.iso *.bin *.img *.cue) (*.iso *.bin *.img *.cue) / "});
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_EQ(control<QLineEdit>(C::kPathEdit)->text(), fromLocalPath(image));

    QTreeWidgetItem* root = tree()->topLevelItem(0);
    EXPECT_EQ(outline(root), "TEST_DISC(DOCS(DEEP) EMPTY)");
    EXPECT_TRUE(root->isSelected());
    EXPECT_TRUE(root->isExpanded());
    EXPECT_FALSE(root->child(0)->isExpanded());
    EXPECT_FALSE(root->child(0)->child(0)->icon(0).isNull());

    // Plain files only, last record first.
    EXPECT_EQ(column(0), QStringList({"ZERO.BIN", "C.TXT", "B.TXT", "A.TXT", "MASTER.BIN"}));
    EXPECT_EQ(column(2), QStringList({"0", "7", "5", "5", "5000"}));
    EXPECT_EQ(cell("B.TXT", 3), "Novemeber 30, 1999");

    for (const auto& [directory, rows] :
         {std::pair(kDeep, "E.TXT"), std::pair(kEmpty, ""), std::pair(kDocs, "D.TXT")}) {
        selectDirectory(directory);
        EXPECT_EQ(column(0).join(' '), rows) << directory;
    }
    tree()->clearSelection();
    EXPECT_EQ(list()->topLevelItemCount(), 0);
}

// An image of UDF alone opens into the tree of its UDF directories; its rows show the UDF
// files under their names, and Modify TOC rewrites the file's entry.
TEST_F(BrowseTest, AnImageOfUdfAloneIsBrowsedAndItsFileEntriesEdited) {
    const auto made = makeUdfImage(dir, kUdfMakers[5]);
    ASSERT_TRUE(made);
    browseTo(*made);
    EXPECT_TRUE(takeMessages().empty());
    EXPECT_EQ(outline(tree()->topLevelItem(0)), "KESTREL(DOCS(DEEP(DEEPER)))");
    EXPECT_EQ(text(C::kDiscKindText), "UDF 1.02");
    EXPECT_EQ(column(0), QStringList({"README.TXT", "EMPTY.TXT"}));

    tree()->setCurrentItem(tree()->topLevelItem(0)->child(0));
    EXPECT_EQ(column(0),
              QStringList({"Mixed Case N\u00e4me.txt", "Euro \u20ac.txt", "DATA.BIN", "BIG.BIN"}));

    selectRows({"DATA.BIN"});
    modifySize("4");
    EXPECT_EQ(takeMessages(), QStringList("Notice: File(s) Patched"));
    EXPECT_EQ(cell("DATA.BIN", 2), "4");
    auto reopened = Session::open(*made, dir.file("other.tmp"));
    ASSERT_TRUE(reopened);
    const auto found = reopened->findRecord(2, "DATA.BIN");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->dataLength, 4u);

    // A name beyond Latin-1 is its text in the dialog and in the refusal, as in the list.
    const QString euro = QStringLiteral("Euro \u20ac.txt");
    selectRows({euro});
    modifyToc([&euro](D& dialog) {
        EXPECT_EQ(dialog.controlAs<QGroupBox>(D::kNameGroup)->title(), euro);
        edit(dialog, D::kLbaEdit)->setText("4000000");
        press(dialog, D::kUpdate);
    });
    const auto refused = takeMessages();
    ASSERT_EQ(refused.size(), 1);
    EXPECT_TRUE(refused.front().startsWith("Refusal: " + euro + " could not be patched:"))
        << refused.front().toStdString();
}

// A path-table entry naming a directory already reached is shown as the same as the first
// path that reached it and lists nothing; an entry under it hangs under that first directory.
TEST_F(BrowseTest, ADirectoryTheTableNamesAgainIsShownAsTheSameAsTheFirstAndListsNothing) {
    IsoBuilder builder(Layout::CdRomXa, "AGAIN");
    const int docs = builder.addDirectory(IsoBuilder::kRoot, "DOCS");
    builder.addFile(docs, textFile("D.TXT;1", "docs"));
    builder.addPathTableEntry(IsoBuilder::kRoot, "COPY", docs);  // 3, the same as DOCS
    builder.addPathTableEntry(3, "TOP", IsoBuilder::kRoot);      // 4, the same as the root
    const auto again = dir.file("again.iso");
    builder.writeTo(again);
    browseTo(again);
    EXPECT_EQ(outline(tree()->topLevelItem(0)),
              "AGAIN(DOCS(TOP (same as /)) COPY (same as /DOCS))");
    selectDirectory(docs);
    EXPECT_EQ(column(0), QStringList({"D.TXT"}));
    for (const int repeat : {3, 4}) {
        selectDirectory(repeat);
        EXPECT_EQ(list()->topLevelItemCount(), 0) << repeat;
    }
}

// Cancelling the file dialog changes nothing; the image chosen next replaces the tree, the list
// and the master file, and its names, of any bytes, are listed and found again.
TEST_F(BrowseTest, TheNextImageChosenReplacesTheLastAndNamesWithAnyBytesAreFoundAgain) {
    browseTo(image);
    selectDirectory(kDocs);
    selectRows({"D.TXT"});
    click(C::kMasterFileButton);
    prompter->files.push_back(QString());
    click(C::kBrowseButton);
    EXPECT_EQ(window->selectedIsoPath(), image);
    EXPECT_EQ(text(C::kMasterFileText), "Selected Master File: D.TXT");
    EXPECT_EQ(column(0), QStringList({"D.TXT"}));
    EXPECT_TRUE(findDirectoryItem(kDocs)->isSelected());

    IsoBuilder odd(Layout::Dvd, "CAF\xC9");
    odd.addFile(IsoBuilder::kRoot, textFile("CAF\xC9.TXT;1", "latin"));
    odd.addFile(IsoBuilder::kRoot, textFile(std::string("TAB\tNUL\0X;1", 11), "control"));
    const auto oddImage = dir.file("odd.iso");
    odd.writeTo(oddImage);
    browseTo(oddImage);
    EXPECT_EQ(outline(tree()->topLevelItem(0)), QString::fromUtf8("CAFÉ"));
    EXPECT_TRUE(text(C::kMasterFileText).isEmpty());
    ASSERT_EQ(list()->topLevelItemCount(), 2);
    EXPECT_EQ(column(0).last(), QString::fromUtf8("CAFÉ.TXT"));
    // Shown escaped, a row is still found by its own bytes.
    EXPECT_EQ(column(0).first(), "TAB\\tNUL\\x00X");
    for (const QString& row : column(0)) {
        selectRows({row});
        click(C::kMasterFileButton);
        EXPECT_TRUE(takeMessages().empty());
        EXPECT_EQ(text(C::kMasterFileText), "Selected Master File: " + row);
    }
}

// An image that cannot be opened leaves the one open before as it was shown; a directory that
// cannot be read empties the list.
TEST_F(BrowseTest, AnImageOrDirectoryThatCannotBeReadIsReportedAndTheOpenImageKept) {
    browseTo(image);
    const QString shownKind = text(C::kDiscKindText);
    const auto shortImage = dir.file("short.iso");
    writeFileBytes(shortImage, std::vector<uint8_t>(40000, 0));
    const QString shortName = fromLocalPath(shortImage);
    for (const auto& [path, reason] :
         {std::pair(shortImage, "Error Reading File\n\n" + shortName +
                                    " is not an ISO 9660 or UDF disc image that Kestrel can "
                                    "read.\n\n" +
                                    shortName + " holds no ISO 9660 volume"),
          std::pair(dir.file("missing.iso"), QString("No such file or directory")),
          std::pair(image, QString("No such file or directory"))}) {
        if (path == image) {  // opened, then removed before a directory is listed
            std::filesystem::remove(image);
            selectDirectory(kDocs);
            EXPECT_EQ(list()->topLevelItemCount(), 0);
        } else {
            browseTo(path);
            EXPECT_EQ(tree()->topLevelItem(0)->text(0), "TEST_DISC");
            EXPECT_EQ(text(C::kDiscKindText), shownKind);
            EXPECT_EQ(window->controlAs<QLineEdit>(C::kPathEdit)->text(), fromLocalPath(image));
        }
        const auto messages = takeMessages();
        ASSERT_EQ(messages.size(), 1) << path;
        EXPECT_TRUE(messages[0].startsWith("Notice: Error Reading File\n\n"));
        EXPECT_TRUE(messages[0].contains(fromLocalPath(path)));
        EXPECT_TRUE(messages[0].contains(reason)) << messages[0].toStdString();
    }
}

// An edit another program makes in the open image shows in the list, the selection kept.
TEST_F(BrowseTest, AnEditByAnotherProgramIsListedWithTheSelectionKept) {
    browseTo(image);
    selectRows({"B.TXT", "MASTER.BIN"});
    auto other = Session::open(image, dir.file("other.tmp"));
    ASSERT_TRUE(other);
    const auto record = other->findRecord(1, "B.TXT");
    ASSERT_TRUE(record);
    ASSERT_TRUE(kestrel::modifyToc(*other, 1, *record, {record->extentLba, 3000}));
    EXPECT_TRUE(QTest::qWaitFor([this] { return cell("B.TXT", 2) == "3000"; }, 10000));
    QStringList selected;
    for (const auto* item : list()->selectedItems()) {
        selected.append(item->text(0));
    }
    selected.sort();
    EXPECT_EQ(selected, QStringList({"B.TXT", "MASTER.BIN"}));
    EXPECT_TRUE(takeMessages().empty());
}

}  // namespace
}  // namespace kestrel::test
