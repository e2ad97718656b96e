// Undo: reverting the chosen image's edits one by one from its journal, asking before an edit
// is made without undo, and telling what the journal put back when the image was opened.
#include "app/KestrelDlg.h"
#include "dialogs/HistoryDlg.h"
#include "dialogs/Prompter.h"
#include "journal/EditSummary.h"
#include "journal/UndoLimits.h"
#include "ops/ImageJournal.h"

namespace kestrel {

namespace {

const char* const kUndoCaption = "Undo";
const char* const kNothingToUndo = "Nothing to undo for this image";
const char* const kNothingToRedo = "Nothing to redo for this image";

}  // namespace

const Journal* CKestrelDlg::journalToRevert(const QString& action) {
    // The run holds the image's journal, and may yet write what an undo would put back.
    if (operationRunning()) {
        prompter_->show(Message::notice(
            QStringLiteral("Wait until the running operation ends, then %1.").arg(action)));
        return nullptr;
    }
    const auto& journal = session_->journal();
    if (!journal) {
        showError(QStringLiteral("This image's edits cannot be %1ne:").arg(action),
                  journal.error());
        return nullptr;
    }
    return &*journal;
}

// Reverts journal entry `entry` in the background once the user says Yes to `question`; an
// undo reverted is a redo.
void CKestrelDlg::revertEntry(const JournalEntry& entry, const QString& question,
                              const QString& edit, const QString& action) {
    if (prompter_->show(Message::question(question, QString::fromLatin1(kUndoCaption))) !=
        Answer::Yes) {
        return;
    }
    auto task = session_->undoTask(entry.id);
    if (!task) {
        showError(QStringLiteral("%1 was not %2ne:").arg(edit, action), task.error());
        return;
    }
    startRevertRun(std::move(*task), edit, action == QStringLiteral("undo"));
}

void CKestrelDlg::undoLastEdit() {
    if (requireIsoSelected()) {
        return;
    }
    if (!session_ && !operationRunning()) {
        if (!offerUndoOfUnopenable(QStringLiteral("This image cannot be read."))) {
            prompter_->show(Message::notice(QString::fromLatin1(kNothingToUndo)));
        }
        return;
    }
    const Journal* journal = journalToRevert(QStringLiteral("undo"));
    if (journal == nullptr) {
        return;
    }
    const auto last = journal->lastUndoable();
    if (!last) {
        showError(QStringLiteral("This image's edits cannot be undone:"), last.error());
        return;
    }
    // An edit made without undo in this window since the newest one Undo would revert.
    const bool afterEditWithoutUndo = withoutUndo_ &&
                                      withoutUndo_->imagePath == session_->imagePath() &&
                                      (!*last || (*last)->id <= withoutUndo_->newestEntry);
    const QString notKept =
        afterEditWithoutUndo
            ? QStringLiteral("The last edit, %1, was made without undo.").arg(withoutUndo_->edit)
            : QString();
    if (!*last) {
        prompter_->show(Message::notice(
            afterEditWithoutUndo ? notKept + QStringLiteral(" Nothing before it is kept to undo.")
                                 : QString::fromStdString(journal->nothingToUndo("this image"))));
        return;
    }
    const EditSummary& summary = (*last)->summary;
    const QString edit = QString::fromStdString(describeEdit(summary));
    const QString question = (notKept.isEmpty() ? QString() : notKept + QStringLiteral("\n\n")) +
                             QStringLiteral("Undo %1, made %2?")
                                 .arg(edit, QString::fromStdString(madeAtText(summary.madeAt)));
    revertEntry(**last, question, edit, QStringLiteral("undo"));
}

void CKestrelDlg::redoLastUndo() {
    if (requireIsoSelected()) {
        return;
    }
    if (!session_ && !operationRunning()) {
        prompter_->show(Message::notice(QString::fromLatin1(kNothingToRedo)));
        return;
    }
    const Journal* journal = journalToRevert(QStringLiteral("redo"));
    if (journal == nullptr) {
        return;
    }
    const auto last = journal->lastRedoable();
    if (!last) {
        showError(QStringLiteral("This image's edits cannot be redone:"), last.error());
        return;
    }
    if (!*last) {
        prompter_->show(Message::notice(QString::fromLatin1(kNothingToRedo)));
        return;
    }
    const EditSummary& summary = (*last)->summary;
    const QString edit = QString::fromStdString(summary.name);
    const QString question = QStringLiteral("Redo %1, undone %2?")
                                 .arg(edit, QString::fromStdString(madeAtText(summary.madeAt)));
    revertEntry(**last, question, edit, QStringLiteral("redo"));
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

void CKestrelDlg::showHistory() {
    if (requireIsoSelected()) {
        return;
    }
    if (!session_) {
        prompter_->show(Message::notice(QString::fromLatin1(kNothingToUndo)));
        return;
    }
    const auto& journal = session_->journal();
    const auto history =
        journal ? journal->history() : Result<std::vector<JournalEntry>>(journal.error());
    if (!history) {
        showError(QStringLiteral("This image's edits cannot be listed:"), history.error());
        return;
    }
    CHistoryDlg dialog(*history, this);
    const int choice = dialog.exec();
    if (choice == CHistoryDlg::kUndo) {
        undoLastEdit();
    } else if (choice == CHistoryDlg::kRedo) {
        redoLastUndo();
    } else if (choice == CHistoryDlg::kExportPatch) {
        exportPatch();
    }
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
    return prompter_->show(Message::warning(question, QString::fromLatin1(kUndoCaption))) ==
           Answer::Yes;
}

void CKestrelDlg::noteEditWithoutUndo(const OperationSnapshot& snapshot, EditKind kind) {
    if (snapshot.keepUndo || !snapshot.journal) {
        return;
    }
    const auto history = snapshot.journal->history();
    withoutUndo_ = EditWithoutUndo{snapshot.imagePath(),
                                   QString::fromStdString(describeEdit(snapshot.summary(kind))),
                                   history && !history->empty() ? history->back().id : 0};
}

}  // namespace kestrel
