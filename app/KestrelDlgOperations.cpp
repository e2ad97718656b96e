// The background operations: Extract, Dummy and Overwrite each run on a worker thread of
// their own, so the window keeps answering while data moves. The worker never touches a
// widget. It leaves its progress in a feed that the window shows once per frame, never
// waiting for it; for the rest (questions, the end message, the buttons) it asks the
// window's thread and waits until that is done.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QThread>
#include <QTimer>
#include <array>
#include <filesystem>

#include "app/KestrelDlg.h"
#include "app/WorkerRun.h"
#include "dialogs/ImageText.h"
#include "journal/EditSummary.h"
#include "ops/Blanking.h"
#include "ops/Extraction.h"
#include "ops/Overwrite.h"

namespace kestrel {

namespace {

// How often the display picks up the worker's progress: once a frame, at 60 frames a second.
constexpr int kProgressFrameMs = 16;

// The order in which the operation buttons are disabled and enabled again.
constexpr std::array kOperationButtons{
    CKestrelDlg::kSwitchLayersButton, CKestrelDlg::kExtractButton,   CKestrelDlg::kDummyButton,
    CKestrelDlg::kModifyTocButton,    CKestrelDlg::kOverwriteButton, CKestrelDlg::kRelinkButton,
    CKestrelDlg::kMasterFileButton,
};

const char* const kExtractFolderTitle = "Select Folder To Extract Files To";

Message noFilesSelected() {
    return Message::notice(QStringLiteral("No File(s) Selected!"));
}

// The files a run could not handle, each with the reason.
QString failureList(const Volume& volume, const OperationReport& report) {
    QStringList lines;
    for (const auto& failure : report.failures) {
        lines.append(shownRowName(volume, failure.rowName) + QStringLiteral(": ") +
                     QString::fromStdString(failure.error.message));
    }
    return lines.join(QStringLiteral("\n\n"));
}

// The files written under other names than their rows', as theirs hold control characters.
QString renamedList(const Volume& volume, const ExtractionReport& report) {
    QStringList lines;
    for (const auto& file : report.renamed) {
        lines.append(shownVolumeName(volume, file.rowName) + QStringLiteral(" as ") +
                     fromLocalPath(file.writtenAs));
    }
    return QStringLiteral(
               "These files were given other names, as theirs hold control "
               "characters:\n\n") +
           lines.join(QStringLiteral("\n"));
}

// What a stop left of the file in hand.
QString stoppedFileText(const Volume& volume, const StoppedFile& file) {
    const QString name = shownVolumeName(volume, file.rowName);
    if (!file.olderKept.empty()) {
        return name + QStringLiteral(" was stopped before it was complete; the older file ") +
               fromLocalPath(file.olderKept) + QStringLiteral(" was kept as it was.");
    }
    return name + QStringLiteral(" was cut at ") +
           QString::fromStdString(formatBytes(file.written)) + QStringLiteral(" of ") +
           QString::fromStdString(formatBytes(file.length)) + QStringLiteral("; its part is ") +
           fromLocalPath(file.partPath) + QStringLiteral(".");
}

// The files written as far as their records reach, each with how its chain is broken.
QString incompleteList(const Volume& volume, const ExtractionReport& report) {
    QStringList lines;
    for (const auto& file : report.incomplete) {
        lines.append(shownVolumeName(volume, file.rowName) + QStringLiteral(": ") +
                     QString::fromStdString(file.brokenChain));
    }
    return QStringLiteral(
               "These files were written as far as their records reach, as their chains of "
               "records are broken:\n\n") +
           lines.join(QStringLiteral("\n"));
}

Message extractionMessage(const Volume& volume, const ExtractionReport& report,
                          bool extractActive) {
    QString end = extractActive ? QStringLiteral("Selected Files Extracted")
                                : QStringLiteral("Aborted Extraction");
    if (report.cut) {
        end += QStringLiteral("\n\n") + stoppedFileText(volume, *report.cut);
    }
    const QString notes =
        (report.renamed.empty() ? QString()
                                : QStringLiteral("\n\n") + renamedList(volume, report)) +
        (report.incomplete.empty() ? QString()
                                   : QStringLiteral("\n\n") + incompleteList(volume, report));
    if (report.failures.empty()) {
        return Message::notice(end + notes);
    }
    const QString heading = QStringLiteral("These files were not extracted:\n\n");
    return Message::refusal(extractActive ? heading + failureList(volume, report) + notes
                                          : end + QStringLiteral("\n\n") + heading +
                                                failureList(volume, report) + notes);
}

}  // namespace

void CKestrelDlg::showFromWorker(const Message& message, const std::function<void()>& before,
                                 const std::function<void()>& after) {
    onWindowThread([&] {
        if (before) {
            before();
        }
        if (!closing_) {
            prompter_->show(message);
        }
        if (after) {
            after();
        }
    });
}

void CKestrelDlg::startBackgroundOperation(Operation operation) {
    if (requireIsoSelected() || operationRunning()) {
        return;
    }
    if (operation == Operation::Extract) {
        extractActive_ = 1;
    }
    auto rows = selectedRowNames();
    if (operation == Operation::Overwrite && rows.size() > 1) {
        rows.resize(1);
    }
    OperationSnapshot snapshot;
    if (!rows.empty() && session_) {
        snapshot = session_->snapshot(findSelectedDirectory(), rows);
    }
    // Asked here, before Overwrite's file picker, while nothing holds the buttons.
    if (operation != Operation::Extract && !snapshot.files.empty() &&
        (!confirmOverStructures(snapshot) || !confirmUndoRoom(snapshot))) {
        return;
    }
    // Dummy and Overwrite hold the buttons once their files are found; Extract once a folder
    // is chosen.
    if (operation != Operation::Extract && !snapshot.files.empty()) {
        holdOperationButtons();
    }
    stopQuestion_ = stopQuestion(operation);
    startWorker(
        [this, operation, snapshot = std::move(snapshot), directory = findSelectedDirectory()] {
            switch (operation) {
                case Operation::Extract:
                    extractSelectedFiles(snapshot);
                    break;
                case Operation::Dummy:
                    dummySelectedFiles(snapshot);
                    break;
                case Operation::Overwrite:
                    overwriteWorker(snapshot, directory);
                    break;
            }
        });
}

void CKestrelDlg::startWorker(std::function<void()> work) {
    worker_ = QThread::create(std::move(work));
    connect(worker_, &QThread::finished, worker_, &QObject::deleteLater);
    connect(worker_, &QThread::finished, progressTimer_, &QTimer::stop);
    worker_->start();
    progressTimer_->start();
}

void CKestrelDlg::startRevertRun(std::function<Result<void>(OperationObserver*)> task,
                                 const QString& edit, bool undoing) {
    holdOperationButtons();
    stopQuestion_ = QStringLiteral("An undo or redo is running: close once it is done?");
    startWorker([this, task = std::move(task), edit, undoing] {
        WorkerObserver observer(*this, undoing ? "Undoing %1" : "Redoing %1", false);
        const auto reverted = task(&observer);
        onWindowThread([&] {
            // Read again, as the user may have listed the image while it was being reverted.
            if (session_) {
                session_->forgetReadStructures();
                relistDirectory(findSelectedDirectory());
            }
            finishOperationDisplay();
            if (closing_) {
                return;
            }
            if (!reverted) {
                showError(QStringLiteral("%1 was not %2:").arg(edit, undoing ? "undone" : "redone"),
                          reverted.error());
            } else {
                prompter_->show(Message::notice(
                    (undoing ? QStringLiteral("Undone: ") : QStringLiteral("Redone: ")) + edit));
            }
        });
    });
}

// Writing over the volume's own structures may leave the image unopenable; it is done only
// when the user says so, and No is the default.
bool CKestrelDlg::confirmOverStructures(OperationSnapshot& snapshot) {
    const auto covered = snapshot.structuresCovered();
    if (covered.empty()) {
        return true;
    }
    QString question;
    for (const auto& file : covered) {
        question += shownRow(file) + QStringLiteral(".\n");
    }
    question += QStringLiteral(
        "\nThese are the volume's own structures; writing over them may leave the image "
        "unreadable until the edit is undone.\n\nWrite over them all the same?");
    snapshot.structuresConfirmed = true;
    return prompter_->show(Message::warning(question, QString())) == Answer::Yes;
}

bool CKestrelDlg::operationRunning() const {
    return worker_ && !worker_->isFinished();
}

void CKestrelDlg::cancelExtraction() {
    extractActive_ = 0;
}

void CKestrelDlg::setOperationButtonsEnabled(bool enabled) {
    for (const int id : kOperationButtons) {
        controlAs<QPushButton>(id)->setEnabled(enabled);
    }
}

void CKestrelDlg::holdOperationButtons() {
    buttonsHeld_ = true;
    setOperationButtonsEnabled(false);
}

// Switch Layers is given back only when the image chosen now has a layer 1 to switch to:
// the user may have browsed to another image during the run.
void CKestrelDlg::releaseOperationButtons() {
    buttonsHeld_ = false;
    setOperationButtonsEnabled(true);
    updateSwitchLayersButton();
}

void CKestrelDlg::connectProgressDisplay() {
    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(kProgressFrameMs);
    connect(progressTimer_, &QTimer::timeout, this, &CKestrelDlg::showLatestProgress);
}

void CKestrelDlg::showLatestProgress() {
    if (const auto report = progressFeed_.take()) {
        progressBar->setRange(0, 100);
        progressBar->setValue(report->percent);
        controlAs<QLabel>(kStatusText)->setText(report->status);
        controlAs<QLabel>(kPercentText)->setText(QStringLiteral("%1%").arg(report->percent));
    }
}

void CKestrelDlg::clearProgressDisplay() {
    progressBar->setValue(0);
    controlAs<QLabel>(kStatusText)->clear();
    controlAs<QLabel>(kPercentText)->clear();
}

void CKestrelDlg::finishOperationDisplay() {
    clearProgressDisplay();
    cancelButton->hide();
    releaseOperationButtons();
}

// The worker may be waiting for this window's thread, so what it asks is answered while it is
// waited for, by delivering its calls directly: an event loop nested in another event's
// handler would not deliver them. Nothing that would ask the user is shown once closing
// has begun.
void CKestrelDlg::waitForOperation() {
    while (worker_ && !worker_->wait(QDeadlineTimer(10))) {
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    delete worker_.data();
}

// What closing the window asks while `operation` runs.
QString CKestrelDlg::stopQuestion(Operation operation) {
    switch (operation) {
        case Operation::Extract:
            return QStringLiteral(
                "An Extract is running: stop it and close?\n\nThe file in hand keeps what was "
                "written of it, unless it was to replace an older file, which then stays as it "
                "was.");
        case Operation::Dummy:
            return QStringLiteral(
                "A Dummy is running: stop it and close?\n\nThe file in hand is finished first; "
                "Undo reverts the files done.");
        case Operation::Overwrite:
            break;
    }
    return QStringLiteral("An Overwrite is running: close once it is done?");
}

bool CKestrelDlg::confirmStopToClose() {
    return prompter_->show(Message::question(stopQuestion_, QString())) == Answer::Yes;
}

void CKestrelDlg::done(int result) {
    if (operationRunning()) {
        // The run may end while the question is shown; the answer stands all the same.
        if (closing_ || !confirmStopToClose()) {
            return;
        }
        closing_ = true;
        waitForOperation();
        closing_ = false;
    }
    TemplateDialog::done(result);
}

void CKestrelDlg::extractSelectedFiles(const OperationSnapshot& snapshot) {
    if (snapshot.files.empty()) {
        showFromWorker(noFilesSelected());
        return;
    }
    const QString folder = onWindowThread([this] {
        cancelButton->show();
        const QString chosen =
            closing_ ? QString()
                     : prompter_->chooseFolder(QString::fromLatin1(kExtractFolderTitle));
        chosen.isEmpty() ? cancelButton->hide() : holdOperationButtons();
        return chosen;
    });
    if (folder.isEmpty()) {
        return;
    }
    WorkerObserver observer(*this, "Extracting %1", true);
    const auto report = extractFiles(snapshot, toLocalPath(folder), observer);
    showFromWorker(
        extractionMessage(session_->volume(), report, extractActive_ == 1),
        [this] { clearProgressDisplay(); },
        [this] {
            cancelButton->hide();
            releaseOperationButtons();
        });
}

void CKestrelDlg::dummySelectedFiles(const OperationSnapshot& snapshot) {
    if (snapshot.files.empty()) {
        showFromWorker(noFilesSelected());
        return;
    }
    WorkerObserver observer(*this, "Dummying %1", false);
    const auto report = blankFiles(snapshot, observer);
    const bool wrote = report.failures.size() < snapshot.files.size();
    showFromWorker(
        report.failures.empty()
            ? Message::notice(QStringLiteral("File Replaced With a Dummy File"))
            : Message::refusal(
                  QStringLiteral("These files were not replaced with a dummy file:\n\n") +
                  failureList(session_->volume(), report)),
        [this, &snapshot, wrote] {
            if (wrote) {
                noteEditWithoutUndo(snapshot, EditKind::Dummy);
            }
            finishOperationDisplay();
        });
}

void CKestrelDlg::overwriteWorker(const OperationSnapshot& snapshot, DirectoryNumber directory) {
    if (snapshot.files.empty()) {
        showFromWorker(noFilesSelected());
        return;
    }
    const SnapshotFile& file = snapshot.files.front();
    const QString name = shownRow(file.rowName);
    const auto notReplaced = [&name](const Error& error) {
        return Message::refusal(QStringLiteral("%1 was not replaced:\n\n%2")
                                    .arg(name, QString::fromStdString(error.message)));
    };
    QString replacement;
    if (!file.record) {
        showFromWorker(notReplaced(file.record.error()));
    } else {
        // The only filter offers files of the row's own name.
        const QString filter = QStringLiteral("%1 (%1) (%1)").arg(name);
        replacement = onWindowThread([this, &filter, &name] {
            return closing_ ? QString() : prompter_->chooseFileToOpen(filter, name);
        });
    }
    Result<std::optional<ReplaceJob>> whole = Error{ErrorKind::NotFound, "none chosen"};
    if (!replacement.isEmpty()) {
        onWindowThread([&] { whole = chooseWholeReplacement(snapshot, directory, replacement); });
    }
    if (whole && *whole) {
        replaceWorker(snapshot, **whole);
        return;
    }
    if (whole) {
        WorkerObserver observer(*this, "Replacing %1", false);
        const auto replaced = overwriteFile(snapshot, toLocalPath(replacement), observer);
        showFromWorker(
            replaced ? Message::notice(QStringLiteral("Selected File Replaced."))
                     : notReplaced(replaced.error()),
            [this, &snapshot, &replaced] {
                if (replaced) {
                    noteEditWithoutUndo(snapshot, EditKind::Overwrite);
                }
            },
            [this] { finishOperationDisplay(); });
        return;
    }
    onWindowThread([this] { finishOperationDisplay(); });
}

Result<std::optional<ReplaceJob>> CKestrelDlg::chooseWholeReplacement(
    const OperationSnapshot& snapshot, DirectoryNumber directory, const QString& replacement) {
    const auto& record = snapshot.files.front().record;
    std::error_code failed;
    const uint64_t size = std::filesystem::file_size(toLocalPath(replacement), failed);
    if (closing_ || !session_ || failed || size == fileSize(*record)) {
        return std::optional<ReplaceJob>();
    }
    const QString name = shownRow(nameOf(record->identifier));
    const QString sizes = QStringLiteral("%1 against %2")
                              .arg(QString::fromStdString(formatBytes(size)),
                                   QString::fromStdString(formatBytes(fileSize(*record))));
    auto job = prepareReplace(*session_, directory, *record, toLocalPath(replacement),
                              {false, snapshot.keepUndo, false});
    const QString caption = QStringLiteral("Overwrite");
    if (size > fileSize(*record)) {
        // Where the volume cannot grow at its end, a gap of zeros is offered instead.
        auto gapJob = job || job.error().kind != ErrorKind::OutOfRange
                          ? Result<ReplaceJob>(Error{ErrorKind::NotFound, "not looked for"})
                          : prepareReplace(*session_, directory, *record, toLocalPath(replacement),
                                           {true, snapshot.keepUndo, false});
        if (!job && gapJob) {
            const auto gap = prompter_->show(Message::question(
                QStringLiteral("The replacement is longer than %1 (%2) and cannot be placed at the "
                               "volume's end: %3\n\nYes places it whole %4, sectors that no "
                               "directory names and that hold only zeros (software on the disc "
                               "may still read them by number); nothing else moves, and Undo "
                               "takes it back.\nNo cuts it to the size of %1, as Overwrite "
                               "always has.")
                    .arg(name, sizes, QString::fromStdString(job.error().message),
                         QString::fromStdString(placementText(gapJob->placement))),
                caption));
            return gap == Answer::Yes ? std::optional(std::move(*gapJob)) : std::nullopt;
        }
        if (!job) {
            const auto cut = prompter_->show(Message::question(
                QStringLiteral("The replacement is longer than %1 (%2) and cannot be placed whole: "
                               "%3\n\nCut it to the size of %1, as Overwrite does?")
                    .arg(name, sizes, QString::fromStdString(job.error().message)),
                caption));
            return cut == Answer::Yes ? Result<std::optional<ReplaceJob>>(std::nullopt)
                                      : Error{ErrorKind::InvalidInput, "not cut"};
        }
        const auto& placement = job->placement;
        const auto grows = job->placement.volumeSectors > job->volumeSectors;
        const auto whole = prompter_->show(Message::question(
            QStringLiteral("The replacement is longer than %1 (%2).\n\nYes places it whole, "
                           "%3%4; nothing else moves, and Undo takes it back.\nNo cuts it to "
                           "the size of %1, as Overwrite always has.")
                .arg(name, sizes, QString::fromStdString(placementText(placement)),
                     grows
                         ? QStringLiteral(", and the image grows by %1")
                               .arg(QString::fromStdString(formatBytes(
                                   uint64_t{placement.volumeSectors - job->volumeSectors} * 2048)))
                         : QString()),
            caption));
        return whole == Answer::Yes ? std::optional(std::move(*job)) : std::nullopt;
    }
    if (!job) {
        return std::optional<ReplaceJob>();
    }
    const auto resize = prompter_->show(Message::question(
        QStringLiteral("The replacement is shorter than %1 (%2).\n\nYes gives %1 the "
                       "replacement's size.\nNo keeps the size of %1 and fills the rest with "
                       "zeros, as Overwrite always has.")
            .arg(name, sizes),
        caption));
    return resize == Answer::Yes ? std::optional(std::move(*job)) : std::nullopt;
}

void CKestrelDlg::replaceWorker(const OperationSnapshot& snapshot, const ReplaceJob& job) {
    WorkerObserver observer(*this, "Replacing %1", false);
    const auto replaced = runReplace(job, observer);
    QString done = QStringLiteral("Selected File Replaced.");
    if (replaced && replaced->imageGrowth > 0) {
        done += QStringLiteral("\n\nIt was placed %1; the image grew by %2.")
                    .arg(QString::fromStdString(placementText(replaced->placement)),
                         QString::fromStdString(formatBytes(replaced->imageGrowth)));
    }
    if (replaced && replaced->patch.viewNotUpdated) {
        done += "\n\n" + QString::fromStdString(*replaced->patch.viewNotUpdated);
    }
    showFromWorker(
        replaced ? Message::notice(done)
                 : Message::refusal(QString::fromStdString(replaced.error().message)),
        [this, &snapshot, &replaced] {
            // The volume's size and the file's record changed: both are read again.
            if (session_) {
                session_->forgetReadStructures();
                relistDirectory(findSelectedDirectory());
            }
            if (replaced) {
                noteEditWithoutUndo(snapshot, EditKind::Replace);
            }
        },
        [this] { finishOperationDisplay(); });
}

}  // namespace kestrel
