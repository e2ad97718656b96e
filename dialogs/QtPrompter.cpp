#include "dialogs/QtPrompter.h"

#include "dialogs/FolderDialog.h"

#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>

namespace kestrel {

namespace {

// A question offers no way out but its answers: Escape and the close box do nothing, where
// a message box would otherwise take them as No.
class AnswersOnly : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Close) {
            event->ignore();
            return true;
        }
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            return true;
        }
        return QObject::eventFilter(watched, event);
    }
};

QMessageBox::Icon iconOf(Message::Kind kind) {
    switch (kind) {
        case Message::Kind::Refusal:
            return QMessageBox::Critical;
        case Message::Kind::Warning:
            return QMessageBox::Warning;
        default:
            return QMessageBox::NoIcon;
    }
}

}  // namespace

Answer QtPrompter::show(const Message& message) {
    const bool question = message.asks();
    const QString title =
        message.caption.isEmpty() ? QApplication::applicationDisplayName() : message.caption;
    QMessageBox box(iconOf(message.kind), title, message.text,
                    question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner_);
    box.setDefaultButton(!question                                ? QMessageBox::Ok
                         : message.kind == Message::Kind::Warning ? QMessageBox::No
                                                                  : QMessageBox::Yes);
    // Texts carry names from the image, which must never be taken for markup.
    box.setTextFormat(Qt::PlainText);
    AnswersOnly answersOnly;
    if (question) {
        box.installEventFilter(&answersOnly);
    }
    const int pressed = box.exec();
    if (!question) {
        return Answer::Ok;
    }
    return pressed == QMessageBox::Yes ? Answer::Yes : Answer::No;
}

QString QtPrompter::chooseFileToOpen(const QString& nameFilter, const QString& initialName) {
    // The filter's pattern is hidden so that the list shows its description as it stands.
    return QFileDialog::getOpenFileName(owner_, QString(), initialName, nameFilter, nullptr,
                                        QFileDialog::HideNameFilterDetails);
}

QString QtPrompter::chooseFileToSave(const QString& nameFilter, const QString& initialName) {
    return QFileDialog::getSaveFileName(owner_, QString(), initialName, nameFilter, nullptr,
                                        QFileDialog::HideNameFilterDetails);
}

QString QtPrompter::chooseFolder(const QString& title) {
    CFolderDialog picker(title, QString(), owner_, CFolderDialog::kReturnOnlyFsDirs);
    return picker.browseModal() == CFolderDialog::kFolderChosen ? picker.chosenFolderPath()
                                                                : QString();
}

}  // namespace kestrel
