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

TEST(QtPrompter, EachKindHasItsTitleIconAndButtonsAndShowsItsTextNeverAsMarkup) {
    struct Case {
        Message message;
        QString title;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton;
        Answer answer;  // when the default button is pressed
    };
    const QString names = "These files were not extracted:\n\n<img src=x><b>A</b>: reason";
    const std::vector<Case> cases{
        {Message::notice("File(s) Patched"), QApplication::applicationDisplayName(),
         QMessageBox::NoIcon, QMessageBox::Ok, QMessageBox::Ok, Answer::Ok},
        {Message::refusal(names), "ISO EDIT ERROR", QMessageBox::Critical, QMessageBox::Ok,
         QMessageBox::Ok, Answer::Ok},
        {Message::question("Patch?", "Patch Option"), "Patch Option", QMessageBox::NoIcon,
         QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes, Answer::Yes},
    };
    QWidget owner;
    QtPrompter prompter(&owner);
    for (const auto& want : cases) {
        whenBoxOpens(
            [&want](QMessageBox& box) {
                EXPECT_EQ(box.windowTitle(), want.title);
                EXPECT_EQ(box.icon(), want.icon);
                EXPECT_EQ(box.standardButtons(), want.buttons);
                EXPECT_EQ(static_cast<QAbstractButton*>(box.defaultButton()),
                          box.button(want.defaultButton));
                EXPECT_EQ(box.textFormat(), Qt::PlainText);
                EXPECT_EQ(box.text(), want.message.text);
            },
            want.defaultButton);
        EXPECT_EQ(prompter.show(want.message), want.answer) << want.title.toStdString();
    }
}

TEST(QtPrompter, AQuestionIsAnsweredOnlyByItsButtons) {
    QWidget owner;
    QtPrompter prompter(&owner);
    whenBoxOpens(
        [](QMessageBox& box) {
            QTest::keyClick(&box, Qt::Key_Escape);
            box.close();
            EXPECT_TRUE(box.isVisible());
        },
        QMessageBox::No);
    EXPECT_EQ(prompter.show(Message::question("Patch?", "Patch Option")), Answer::No);
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
