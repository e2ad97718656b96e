// The real message boxes: their titles, icons, buttons and defaults.
#include "dialogs/QtPrompter.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "support/ModalDialogs.h"
#include "support/QtPrinters.h"

namespace kestrel {
namespace {

TEST(QtPrompter, EachKindHasItsTitleIconAndButtonsAndShowsItsTextNeverAsMarkup) {
    const QString names = "These files were not extracted:\n\n<img src=x><b>A</b>: reason";
    const std::vector<std::tuple<Message, QString, QMessageBox::Icon, Answer>> cases{
        {Message::notice("File(s) Patched"), QApplication::applicationDisplayName(),
         QMessageBox::NoIcon, Answer::Ok},
        {Message::refusal(names), "ISO EDIT ERROR", QMessageBox::Critical, Answer::Ok},
        {Message::question("Patch?", "Patch Option"), "Patch Option", QMessageBox::NoIcon,
         Answer::Yes},
        {Message::question("Patch?", "Patch Option"), "Patch Option", QMessageBox::NoIcon,
         Answer::No},
    };
    QWidget owner;
    QtPrompter prompter(&owner);
    for (const auto& [message, title, icon, answer] : cases) {
        const bool question = answer != Answer::Ok;
        test::whenModalOpens<QMessageBox>([&](QMessageBox& box) {
            EXPECT_EQ(box.windowTitle(), title);
            EXPECT_EQ(box.icon(), icon);
            EXPECT_EQ(box.standardButtons(),
                      question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
            EXPECT_EQ(static_cast<QAbstractButton*>(box.defaultButton()),
                      box.button(question ? QMessageBox::Yes : QMessageBox::Ok));
            EXPECT_EQ(box.textFormat(), Qt::PlainText);
            EXPECT_EQ(box.text(), message.text);
            if (question) {  // answered only by its buttons
                QTest::keyClick(&box, Qt::Key_Escape);
                box.close();
                EXPECT_TRUE(box.isVisible());
            }
            QTest::mouseClick(box.button(answer == Answer::No    ? QMessageBox::No
                                         : answer == Answer::Yes ? QMessageBox::Yes
                                                                 : QMessageBox::Ok),
                              Qt::LeftButton);
        });
        EXPECT_EQ(prompter.show(message), answer) << title.toStdString();
    }
}

}  // namespace
}  // namespace kestrel
