// The main window's layout, start state, keyboard and window menu.
#include <QAction>
#include <QHeaderView>
#include <QScrollBar>

#include "app/KestrelApp.h"
#include "app/ListColumns.h"
#include "tests/app/WindowFixture.h"

namespace kestrel::test {
namespace {

using MainWindowTest = WindowFixture;
using C = CKestrelDlg;

TEST(DialogUnitsToPixels, FollowTheFontAndKeepTouchingEdgesTouching) {
    const DialogUnits units(7, 15);
    EXPECT_EQ(units.toPixels(411, 250), QSize(719, 469));
    EXPECT_EQ(units.toPixels(DialogRect{9, 224, 49, 10}), QRect(16, 420, 86, 19));
    const QRect left = units.toPixels(DialogRect{3, 0, 5, 1});
    const QRect right = units.toPixels(DialogRect{8, 0, 5, 1});
    EXPECT_EQ(left.right() + 1, right.left());
}

TEST(KestrelApp, ShowsTheMainWindowModalAndOnlyThenTakesKestrelAsTheTitleOfNotices) {
    QDialog window;
    showMainWindow(window);
    EXPECT_EQ(QGuiApplication::modalWindow(), window.windowHandle());
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), "Kestrel");
}

TEST_F(MainWindowTest, IsTheFixedSizeWindowOfItsTemplate) {
    EXPECT_EQ(window->windowTitle(), "Tavik ISO Editor");
    const DialogUnits units(window->font());
    EXPECT_EQ(window->size(), units.toPixels(411, 250));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(list()->geometry(), units.toPixels({141, 45, 263, 155}));
    for (QWidget* child : window->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(window->rect().contains(child->geometry()))
            << child->objectName().toStdString();
    }
    EXPECT_TRUE(control<QPushButton>(C::kBrowseButton)->text().isEmpty());
    EXPECT_FALSE(control<QPushButton>(C::kBrowseButton)->icon().isNull());
}

TEST_F(MainWindowTest, TabsFromThePathBoxThroughTheControlsInTemplateOrder) {
    const std::vector<int> stops{C::kPathEdit,         C::kBrowseButton, C::kDirectoryTree,
                                 C::kMasterFileButton, C::kRelinkButton, C::kOverwriteButton,
                                 C::kModifyTocButton,  C::kDummyButton,  C::kSwitchLayersButton,
                                 C::kExtractButton,    C::kFileList,     C::kCancelButton};
    EXPECT_EQ(QApplication::focusWidget(), control(C::kPathEdit));
    QWidget* widget = control(C::kPathEdit);
    QStringList labels;
    for (int id : stops) {
        ASSERT_EQ(widget, control(id)) << "expected " << id;
        if (auto* button = qobject_cast<QPushButton*>(widget); button && id != C::kBrowseButton) {
            labels.append(button->text());
            // Nothing is clipped: each label fits inside its button with the font in use.
            EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 6, button->width());
        }
        do {
            widget = widget->nextInFocusChain();
        } while (!(widget->focusPolicy() & Qt::TabFocus));
    }
    EXPECT_EQ(widget, control(C::kPathEdit));  // and round again
    EXPECT_EQ(labels, QStringList({"Master File", "Relink File(s)", "Overwrite", "Modify TOC",
                                   "Dummy", "Switch Layers", "Extract File(s)", "CANCEL"}));
    EXPECT_FALSE(enabled(C::kSwitchLayersButton));
    EXPECT_FALSE(visible(C::kCancelButton));
}

TEST_F(MainWindowTest, TheListsColumnsFillItsViewportWithOrWithoutTheScrollBar) {
    ASSERT_EQ(list()->columnCount(), 4);
    const QStringList headings{"Name", "LBA", "Size", "Date Modified"};
    for (int column = 0; column < 4; ++column) {
        EXPECT_EQ(list()->headerItem()->text(column), headings[column]);
    }
    const auto leading = leadingListColumnWidths(list()->width() - 2 * list()->frameWidth());
    for (const bool scrolled : {false, true}) {
        if (scrolled) {
            for (int row = 0; row < 40; ++row) {
                new QTreeWidgetItem(list(), {"ROW", "1", "2", "Novemeber 30, 1999"});
            }
            QTest::qWait(50);  // the view lays itself out again after a short delay
        }
        ASSERT_EQ(list()->verticalScrollBar()->isVisible(), scrolled);
        for (int column = 0; column < 3; ++column) {
            EXPECT_EQ(list()->columnWidth(column), leading[column]) << column;
        }
        const auto* header = list()->header();
        EXPECT_EQ(header->sectionPosition(3) + header->sectionSize(3), list()->viewport()->width())
            << "scrolled " << scrolled;
        EXPECT_FALSE(list()->horizontalScrollBar()->isVisible());
    }
    EXPECT_FALSE(list()->header()->sectionsClickable());
    EXPECT_EQ(list()->selectionMode(), QAbstractItemView::ExtendedSelection);
}

TEST_F(MainWindowTest, EnterOffTheButtonsEscapeAndTheCloseCommandCloseTheWindow) {
    control<QLineEdit>(C::kPathEdit)->setText("typed but never opened");
    QTest::keyClick(control(C::kPathEdit), Qt::Key_Return);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Accepted);
    // Closing with Enter keeps the path box's text, as OK always has.
    EXPECT_EQ(window->selectedIsoPath(), "typed but never opened");

    makeWindow();
    tree()->setFocus();
    QTest::keyClick(tree(), Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(window->isVisible());

    makeWindow();
    QTest::keyClick(list(), Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->result(), QDialog::Rejected);

    makeWindow();
    window->handleSystemCommand(0xF060);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, EnterOnAFocusedButtonPressesItInsteadOfClosing) {
    control(C::kBrowseButton)->setFocus();
    QTest::keyClick(control(C::kBrowseButton), Qt::Key_Return);
    EXPECT_EQ(prompter->fileFilters.size(), 1u);
    EXPECT_TRUE(window->isVisible());

    control(C::kRelinkButton)->setFocus();
    QTest::keyClick(control(C::kRelinkButton), Qt::Key_Return);
    EXPECT_EQ(prompter->messages.size(), 1u);  // its refusal: no image is open
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindowTest, TheWindowMenuEndsWithTheAboutItemWhichShowsTheTocValuesAndWritesNothing) {
    const auto actions = window->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_EQ(window->contextMenuPolicy(), Qt::ActionsContextMenu);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.last()->text(), "&About Kestrel...");

    browseTo(image);
    const auto before = readFileBytes(image);
    whenTocDialogOpens([](CModifyTocDlg& dialog) {
        EXPECT_TRUE(dialog.controlAs<QGroupBox>(CModifyTocDlg::kNameGroup)->title().isEmpty());
        EXPECT_EQ(dialog.controlAs<QLineEdit>(CModifyTocDlg::kLbaEdit)->text(), "0");
        EXPECT_EQ(dialog.controlAs<QLineEdit>(CModifyTocDlg::kSizeEdit)->text(), "0");
        dialog.controlAs<QLineEdit>(CModifyTocDlg::kSizeEdit)->setText("77");
        QTest::mouseClick(dialog.controlAs<QPushButton>(CModifyTocDlg::kUpdate), Qt::LeftButton);
    });
    actions.last()->trigger();

    // A command that differs from the About item's only in its low four bits is the same.
    whenTocDialogOpens([](CModifyTocDlg& dialog) {
        EXPECT_EQ(dialog.controlAs<QLineEdit>(CModifyTocDlg::kSizeEdit)->text(), "77");
        QTest::mouseClick(dialog.controlAs<QPushButton>(CModifyTocDlg::kCancel), Qt::LeftButton);
    });
    window->handleSystemCommand(C::kAboutCommand | 5);

    EXPECT_EQ(readFileBytes(image), before);
    EXPECT_TRUE(prompter->messages.empty());
    EXPECT_TRUE(window->isVisible());
}

}  // namespace
}  // namespace kestrel::test
