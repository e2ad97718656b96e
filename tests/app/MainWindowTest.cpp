// The main window's layout, start state, keyboard and window menu, and Undo from that menu.
#include <QAction>
#include <QHeaderView>
#include <QRegularExpression>
#include <QScrollBar>

#include "app/KestrelApp.h"
#include "app/ListColumns.h"
#include "dialogs/HistoryDlg.h"
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using MainWindowTest = WindowFixture;
using UndoTest = WindowFixture;

TEST(KestrelApp, ShowsTheMainWindowModalAndOnlyThenTakesKestrelAsTheTitleOfNotices) {
    QDialog window;
    showMainWindow(window);
    EXPECT_EQ(QGuiApplication::modalWindow(), window.windowHandle());
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Kestrel");
}

TEST_F(MainWindowTest, IsTheFixedSizeWindowOfItsTemplateTabbedInItsOrder) {
    const DialogUnits units(7, 15);
    EXPECT_EQ(units.toPixels(DialogRect{9, 224, 49, 10}), QRect(16, 420, 86, 19));
    EXPECT_EQ(units.toPixels(DialogRect{3, 0, 5, 1}).right() + 1,
              units.toPixels(DialogRect{8, 0, 5, 1}).left());
    EXPECT_EQ(window->windowTitle(), "Tavik ISO Editor");
    EXPECT_EQ(window->size(), DialogUnits(window->font()).toPixels(411, 250));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    for (QWidget* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(window->rect().contains(child->geometry()))
            << child->objectName().toStdString();
    }
    EXPECT_FALSE(control<QPushButton>(C::kBrowseButton)->icon().isNull());

    const std::vector<int> stops{C::kPathEdit,         C::kBrowseButton, C::kDirectoryTree,
                                 C::kMasterFileButton, C::kRelinkButton, C::kOverwriteButton,
                                 C::kModifyTocButton,  C::kDummyButton,  C::kSwitchLayersButton,
                                 C::kExtractButton,    C::kFileList,     C::kCancelButton};
    QWidget* widget = QApplication::focusWidget();
    for (int id : stops) {
        ASSERT_EQ(widget, control(id)) << "expected " << id;
        if (auto* button = qobject_cast<QPushButton*>(widget); button && id != C::kBrowseButton) {
            EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 6, button->width());
        }
        do {
            widget = widget->nextInFocusChain();
        } while (!(widget->focusPolicy() & Qt::TabFocus));
    }
    EXPECT_EQ(widget, control(C::kPathEdit));
    EXPECT_FALSE(enabled(C::kSwitchLayersButton));
    EXPECT_FALSE(control(C::kCancelButton)->isVisible());
}

TEST_F(MainWindowTest, TheListsColumnsFillItsViewportWithOrWithoutTheScrollBar) {
    const auto leading = leadingListColumnWidths(list()->width() - 2 * list()->frameWidth());
    for (const bool scrolled : {false, true}) {
        for (int row = 0; scrolled && row < 40; ++row) {
            new QTreeWidgetItem(list(), {"ROW", "1", "2", "Novemeber 30, 1999"});
        }
        QTest::qWait(50);  // the view lays itself out again after a short delay
        ASSERT_EQ(list()->verticalScrollBar()->isVisible(), scrolled);
        EXPECT_EQ(list()->columnWidth(2), leading[2]);
        const auto* header = list()->header();
        EXPECT_EQ(header->sectionPosition(3) + header->sectionSize(3), list()->viewport()->width());
        EXPECT_FALSE(list()->horizontalScrollBar()->isVisible());
    }
    EXPECT_EQ(list()->selectionMode(), QAbstractItemView::ExtendedSelection);
}

// Enter off the buttons closes as OK does, keeping what the path box holds; Escape and the
// close command close as Cancel does; Enter on a focused button presses it instead.
TEST_F(MainWindowTest, TheKeysAndTheCloseCommandCloseTheWindowOrPressTheFocusedButton) {
    const std::vector<std::tuple<int, int, Qt::KeyboardModifier, int>> presses{
        {C::kPathEdit, Qt::Key_Return, Qt::NoModifier, QDialog::Accepted},
        {C::kDirectoryTree, Qt::Key_Enter, Qt::KeypadModifier, QDialog::Accepted},
        {C::kFileList, Qt::Key_Escape, Qt::NoModifier, QDialog::Rejected},
        {0, 0, Qt::NoModifier, QDialog::Rejected},  // the close command
        {C::kRelinkButton, Qt::Key_Return, Qt::NoModifier, -1},
    };
    for (const auto& [id, key, modifier, result] : presses) {
        makeWindow();
        control<QLineEdit>(C::kPathEdit)->setText("typed but never opened");
        if (id == 0) {
            window->handleSystemCommand(0xF060);
        } else {
            control(id)->setFocus();
            QTest::keyClick(control(id), Qt::Key(key), modifier);
        }
        EXPECT_EQ(window->isVisible() ? -1 : window->result(), result) << id;
        EXPECT_EQ(window->selectedIsoPath(),
                  result == QDialog::Accepted ? "typed but never opened" : "");
        EXPECT_EQ(prompter->messages.size(), result == -1 ? 1u : 0u);  // Relink's refusal
    }
}

TEST_F(MainWindowTest, TheWindowMenuEndsWithTheAboutItemWhichShowsTheTocValuesAndWritesNothing) {
    const auto actions = window->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_EQ(window->contextMenuPolicy(), Qt::ActionsContextMenu);
    EXPECT_EQ(actions[actions.size() - 3]->text(), "&Undo");
    EXPECT_EQ(actions[actions.size() - 2]->text(), "&Redo");
    EXPECT_EQ(actions.last()->text(), "&About Kestrel...");

    browseTo(image);
    const auto before = readFileBytes(image);
    QStringList shown;
    whenTocDialogOpens([&shown](D& dialog) {
        shown << dialog.controlAs<QGroupBox>(D::kNameGroup)->title()
              << edit(dialog, D::kLbaEdit)->text() << edit(dialog, D::kSizeEdit)->text();
        edit(dialog, D::kSizeEdit)->setText("77");
        press(dialog, D::kUpdate);
    });
    actions.last()->trigger();
    // A command that differs from the About item's only in its low four bits is the same.
    whenTocDialogOpens([&shown](D& dialog) {
        shown << edit(dialog, D::kSizeEdit)->text();
        press(dialog, D::kCancel);
    });
    window->handleSystemCommand(C::kAboutCommand | 5);
    EXPECT_EQ(shown, QStringList({"", "0", "0", "77"}));
    EXPECT_EQ(readFileBytes(image), before);
    EXPECT_TRUE(prompter->messages.empty());
    EXPECT_TRUE(window->isVisible());
}

// Four edits, then Undo from the menu and with Ctrl+Z in turn: each names the newest edit still
// in effect and puts back the image as it was before it, and the list as it shows it.
TEST_F(UndoTest, EachUndoNamesTheNewestEditAndPutsBackTheImageAsItWasBeforeIt) {
    const std::string replacement = dir.file("A.TXT");
    writeFileBytes(replacement, {'n', 'e', 'w'});
    browseTo(image);
    const QStringList listed = column(1) + column(2);
    selectRows({"MASTER.BIN"});
    click(C::kMasterFileButton);
    // Each edit: what Undo names it, its button and the rows it is made on.
    const std::vector<std::tuple<QString, int, QStringList>> edits{
        {"Dummy of 2 files, 10 bytes", C::kDummyButton, {"A.TXT", "B.TXT"}},
        {"Overwrite of A.TXT, 5 bytes", C::kOverwriteButton, {"A.TXT"}},
        {"Relink of 2 files", C::kRelinkButton, {"A.TXT", "C.TXT"}},
        {"Modify TOC of B.TXT", C::kModifyTocButton, {"B.TXT"}},
    };
    std::vector<std::vector<uint8_t>> before;
    for (const auto& [name, button, rows] : edits) {
        before.push_back(readFileBytes(image));
        selectRows(rows);
        // Relink's Patch Option; Overwrite keeps A.TXT's size rather than take the shorter
        // replacement's.
        prompter->answers = {button == C::kOverwriteButton ? Answer::No : Answer::Yes};
        prompter->files = {fromLocalPath(replacement)};
        button == C::kModifyTocButton ? modifySize("1") : click(button);
        ASSERT_TRUE(operationEnds());
        ASSERT_NE(readFileBytes(image), before.back()) << name.toStdString();
    }
    takeMessages();
    for (size_t undone = 0; undone < edits.size(); ++undone) {
        const QString& name = std::get<0>(edits[edits.size() - 1 - undone]);
        SCOPED_TRACE(name.toStdString());
        prompter->answers = {Answer::Yes};
        if (undone % 2 == 0) {
            window->actions()[window->actions().size() - 3]->trigger();
            ASSERT_TRUE(operationEnds());
        } else {
            pressUndoKeys();
        }
        const QString shown = takeMessages().join(" / ");
        const QString expected =
            "^Question \\(Undo\\): Undo %1, made \\d\\d:\\d\\d\\? / Notice: Undone: %1$";
        EXPECT_TRUE(QRegularExpression(expected.arg(QRegularExpression::escape(name)))
                        .match(shown)
                        .hasMatch())
            << shown.toStdString();
        EXPECT_EQ(readFileBytes(image), before[before.size() - 1 - undone]);
    }
    EXPECT_EQ(column(1) + column(2), listed);
    window->handleSystemCommand(C::kUndoCommand);
    EXPECT_EQ(takeMessages(), QStringList{"Notice: Nothing to undo for this image"});

    // Redo puts back the undos in turn, newest first, until an edit in effect is newer.
    for (size_t redone = 0; redone < 2; ++redone) {
        const QString& name = std::get<0>(edits[redone]);
        prompter->answers = {Answer::Yes};
        redone == 0 ? pressUndoKeys(Qt::ControlModifier | Qt::ShiftModifier)
                    : window->handleSystemCommand(C::kRedoCommand);
        ASSERT_TRUE(operationEnds());
        const QString expected =
            "^Question \\(Undo\\): Redo %1, undone \\d\\d:\\d\\d\\? / Notice: Redone: %1$";
        const QString shown = takeMessages().join(" / ");
        EXPECT_TRUE(QRegularExpression(expected.arg(QRegularExpression::escape(name)))
                        .match(shown)
                        .hasMatch())
            << shown.toStdString();
        EXPECT_EQ(readFileBytes(image), before[redone + 1]);
    }
    selectRows({"C.TXT"});
    modifySize("2");
    takeMessages();
    window->handleSystemCommand(C::kRedoCommand);
    EXPECT_EQ(takeMessages(), QStringList{"Notice: Nothing to redo for this image"});

    // History lists every entry, newest first: four edits, four undos, two redos and the last
    // edit; its Undo is the window's.
    whenModalOpens<CHistoryDlg>([](CHistoryDlg& dialog) {
        const QTreeWidget* entries = dialog.list();
        ASSERT_EQ(entries->topLevelItemCount(), 11);
        EXPECT_EQ(entries->topLevelItem(0)->text(1) + ": " + entries->topLevelItem(0)->text(4),
                  "Modify TOC of C.TXT: In effect");
        EXPECT_EQ(entries->topLevelItem(8)->text(1) + ": " + entries->topLevelItem(8)->text(4),
                  "Relink of 2 files: Undone");
        dialog.findChild<QPushButton*>("undo")->click();
    });
    prompter->answers = {Answer::Yes};
    window->handleSystemCommand(C::kHistoryCommand);
    ASSERT_TRUE(operationEnds());
    EXPECT_EQ(takeMessages().last(), "Notice: Undone: Modify TOC of C.TXT");
}

// Export Patch from the History list asks where to save, writes the patch on a worker and
// names it and its size; xdelta3 makes the edited image from the original with it. Cancelled
// from the menu, it writes nothing.
TEST_F(UndoTest, ExportPatchWritesThePatchXdelta3MakesTheEditedImageWith) {
    writeFileBytes(dir.file("original.iso"), readFileBytes(image));
    browseTo(image);
    selectRows({"B.TXT"});
    modifySize("2");
    takeMessages();
    const std::string patch = dir.file("edits.vcdiff");
    prompter->files.push_back(fromLocalPath(patch));
    whenModalOpens<CHistoryDlg>(
        [](CHistoryDlg& dialog) { dialog.findChild<QPushButton*>("exportPatch")->click(); });
    window->handleSystemCommand(C::kHistoryCommand);
    ASSERT_TRUE(operationEnds());
    const QString shown = takeMessages().join(" / ");
    EXPECT_TRUE(QRegularExpression("^Notice: Patch written: " +
                                   QRegularExpression::escape(QString::fromStdString(patch)) +
                                   ", \\d+ bytes, of edits 1 to 1\\.$")
                    .match(shown)
                    .hasMatch())
        << shown.toStdString();
    const std::string out = dir.file("out.iso");
    ASSERT_TRUE(
        commandOutput("xdelta3 -d -s " + dir.file("original.iso") + " " + patch + " " + out));
    EXPECT_EQ(readFileBytes(out), readFileBytes(image));

    prompter->files.push_back(QString());
    window->handleSystemCommand(C::kExportPatchCommand);
    EXPECT_FALSE(window->operationRunning());
    EXPECT_TRUE(takeMessages().isEmpty());
}

}  // namespace
}  // namespace kestrel::test
