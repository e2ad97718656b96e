// The real message boxes: their titles, icons, buttons and defaults.
#include "dialogs/QtPrompter.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

#include "support/ModalDialogs.h"
#include "support/QtPrinters.h"

namespace kestrel {
namespace {

// Runs `inspect` on the message box once it is open, then presses `button` in it.
void whenBoxOpens(std::function<void(QMessageBox&)> inspect, QMessageBox::StandardButton button) {
    test::whenModalOpens<QMessageBox>([inspect, button](QMessageBox& box) {
        inspect(box);
        QTest::mouseClick(box.button(button), Qt::LeftButton);
    });
}

TEST(QtPrompter, NoticesAndRefusalsHaveOnlyOkAndTheirOwnTitleAndIcon) {
    QWidget owner;
    QtPrompter prompter(&owner);
    whenBoxOpens(
        [](QMessageBox& box) {
            EXPECT_EQ(box.windowTitle(), QApplication::applicationDisplayName());
            EXPECT_EQ(box.text(), "File(s) Patched");
            EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
        },
        QMessageBox::Ok);
    EXPECT_EQ(prompter.show(Message::notice("File(s) Patched")), Answer::Ok);

    whenBoxOpens(
        [](QMessageBox& box) {
            EXPECT_EQ(box.windowTitle(), "ISO EDIT ERROR");
            EXPECT_EQ(box.icon(), QMessageBox::Critical);
            EXPECT_EQ(box.standardButtons(), QMessageBox::Ok);
        },
        QMessageBox::Ok);
    EXPECT_EQ(prompter.show(Message::refusal("No ISO Selected!")), Answer::Ok);
}

TEST(QtPrompter, NamesFromTheImageAreShownAsTheyAreNeverAsMarkup) {
    QWidget owner;
    QtPrompter prompter(&owner);
    const QString text = "These files were not extracted:\n\n<img src=x><b>A</b>: reason";
    whenBoxOpens(
        [&](QMessageBox& box) {
            EXPECT_EQ(box.textFormat(), Qt::PlainText);
            EXPECT_EQ(box.text(), text);
        },
        QMessageBox::Ok);
    prompter.show(Message::refusal(text));
}

TEST(QtPrompter, AQuestionIsAnsweredOnlyByItsButtonsWithYesTheDefault) {
    QWidget owner;
    QtPrompter prompter(&owner);
    whenBoxOpens(
        [](QMessageBox& box) {
            EXPECT_EQ(box.windowTitle(), "Patch Option");
            EXPECT_EQ(box.icon(), QMessageBox::NoIcon);
            EXPECT_EQ(box.standardButtons(), QMessageBox::Yes | QMessageBox::No);
            EXPECT_EQ(static_cast<QAbstractButton*>(box.defaultButton()),
                      box.button(QMessageBox::Yes));
            QTest::keyClick(&box, Qt::Key_Escape);
            box.close();
            EXPECT_TRUE(box.isVisible());
        },
        QMessageBox::No);
    EXPECT_EQ(prompter.show(Message::question("Patch?", "Patch Option")), Answer::No);

    whenBoxOpens([](QMessageBox&) {}, QMessageBox::Yes);
    EXPECT_EQ(prompter.show(Message::question("Patch?", "Patch Option")), Answer::Yes);
}

TEST(QtPrompter, TheOpenFileDialogShowsTheFilterDescriptionAndReturnsTheChosenPath) {
    QTemporaryDir folder;
    const QString image = folder.filePath("disc.iso");
    QFile(image).open(QIODevice::WriteOnly);
    QWidget owner;
    QtPrompter prompter(&owner);

    const auto answer = [&folder](bool choose, const QString& path) {
        test::whenModalOpens<QFileDialog>([&folder, choose, path](QFileDialog& dialog) {
            const auto* filters = dialog.findChild<QComboBox*>("fileTypeCombo");
            ASSERT_NE(filters, nullptr);
            // The description as it stands, less the blank at its end, which the list trims.
            EXPECT_EQ(filters->currentText(), "ISO Images (*.iso)");
            EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
            dialog.setDirectory(folder.path());
            if (choose) {
                dialog.selectFile(path);
                static_cast<QDialog&>(dialog).accept();
            } else {
                dialog.reject();
            }
        });
    };
    answer(true, image);
    EXPECT_EQ(prompter.chooseFileToOpen("ISO Images (*.iso) (*.iso)", QString()), image);
    answer(false, QString());
    EXPECT_TRUE(prompter.chooseFileToOpen("ISO Images (*.iso) (*.iso)", QString()).isEmpty());
}

}  // namespace
}  // namespace kestrel
