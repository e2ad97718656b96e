#include "dialogs/QtPrompter.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace kestrel {

namespace {

QMessageBox::Icon iconOf(Message::Kind kind) {
    return kind == Message::Kind::Refusal ? QMessageBox::Critical : QMessageBox::NoIcon;
}

}  // namespace

Answer QtPrompter::show(const Message& message) {
    const bool question = message.kind == Message::Kind::Question;
    const QString title =
        message.caption.isEmpty() ? QApplication::applicationDisplayName() : message.caption;
    QMessageBox box(iconOf(message.kind), title, message.text,
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner_);
    box.setDefaultButton(question ? QMessageBox::Yes : QMessageBox::Ok);
    const int pressed = box.exec();
    if (!question) {
        return Answer::Ok;
    }
    return pressed == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

QString QtPrompter::chooseFileToOpen(const QString& nameFilter) {
    // The filter's pattern is hidden so that the list shows its description as it stands.
    return QFileDialog::getOpenFileName(owner_, QString(), QString(), nameFilter, nullptr,
                                        QFileDialog::HideNameFilterDetails);
}

}  // namespace kestrel
