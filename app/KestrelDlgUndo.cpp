// Undo: reverting the chosen image's edits one by one from its journal, asking before an edit
// is made without undo, and telling what the journal put back when the image was opened.
#include "app/KestrelDlg.h"
#include "dialogs/Prompter.h"
#include "journal/EditSummary.h"
#include "journal/UndoLimits.h"
#include "ops/ImageJournal.h"

namespace kestrel {

namespace {

const char* const kUndoCaption = "Undo";
const char* const kNothingToUndo = "Nothing to undo for this image";

}  // namespace

void CKestrelDlg::undoLastEdit() {
    if (requireIsoSelected()) {
        return;
    }
    // The run holds the image's journal, and may yet write what an undo would put back.
    if (operationRunning()) {
        prompter_->show(
            Message::notice(QStringLiteral("Wait until the running operation ends, then undo.")));
        return;
    }
    if (!session_) {
        if (!offerUndoOfUnopenable(QStringLiteral("This image cannot be read."))) {
            prompter_->show(Message::notice(QString::fromLatin1(kNothingToUndo)));
        }
        return;
    }
    const QString cannot = QStringLiteral("This image's edits cannot be undone:");
    const auto& journal = session_->journal();
    if (!journal) {
        showError(cannot, journal.error());
        return;
    }
    const auto last = journal->lastUndoable();
    if (!last) {
        showError(cannot, last.error());
        return;
    }
    if (!*last) {
        prompter_->show(
            Message::notice(QString::fromStdString(journal->nothingToUndo("this image"))));
        return;
    }
    const EditSummary& summary = (*last)->summary;
    const QString edit = QString::fromStdString(describeEdit(summary));
    const QString question = QStringLiteral("Undo %1, made %2?")
                                 .arg(edit, QString::fromStdString(madeAtText(summary.madeAt)));
    if (prompter_->show(Message::question(question, QString::fromLatin1(kUndoCaption))) !=
        Answer::Yes) {
        return;
    }
    if (auto undone = session_->undo((*last)->id); !undone) {
        showError(QStringLiteral("%1 was not undone:").arg(edit), undone.error());
        return;
    }
    relistDirectory(findSelectedDirectory());
    prompter_->show(Message::notice(QStringLiteral("Undone: ") + edit));
}

// An image that does not open may have been made so by its last edit. Undo needs only the
// image's file and its journal, so the way back is offered beside the reason; once the edit
// is undone, the image is opened again.
bool CKestrelDlg::offerUndoOfUnopenable(const QString& why) {
    auto image = ImageJournal::open(selectedIsoPath_);
    const auto last = image ? image->lastEdit() : Result<std::optional<LastEdit>>(std::nullopt);
    if (!last || !*last) {
        return false;
    }
    const QString edit = QString::fromStdString((*last)->edit);
    QString question = why;
    if (!question.contains(QString::fromStdString((*last)->description))) {
        question +=
            QStringLiteral("\n\n") + QString::fromStdString((*last)->description) + QChar('.');
    }
    question += QStringLiteral("\n\nUndo %1 now?").arg(edit);
    if (prompter_->show(Message::question(question, QString::fromLatin1(kUndoCaption))) !=
        Answer::Yes) {
        return true;
    }
    if (auto undone = image->undo((*last)->id); !undone) {
        showError(QStringLiteral("%1 was not undone:").arg(edit), undone.error());
        return true;
    }
    prompter_->show(Message::notice(QStringLiteral("Undone: ") + edit));
    openSelectedImage();
    return true;
}

void CKestrelDlg::showRecoveryNotes() {
    for (const auto& note : session_->recoveryNotes()) {
        prompter_->show(Message::notice(QString::fromStdString(note)));
    }
}

// Without a journal there is nothing to ask: the run itself refuses to write.
bool CKestrelDlg::confirmUndoRoom(OperationSnapshot& snapshot) {
    if (!snapshot.journal) {
        return true;
    }
    const UndoRoom room = undoRoomFor(snapshot.savedBytes(), snapshot.journal->folder());
    if (room.fits) {
        return true;
    }
    const QString question = QString::fromStdString(room.refusal) +
                             QStringLiteral(".\n\nGo on without undo for this edit?");
    snapshot.keepUndo = false;
    return prompter_->show(Message::question(question, QString::fromLatin1(kUndoCaption))) ==
           Answer::Yes;
}

}  // namespace kestrel
