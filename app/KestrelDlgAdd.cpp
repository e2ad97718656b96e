// Add File: a file from this system placed in the selected directory. Its ISO 9660 name is its
// own where that fits the image's rules, else one made from it, which the question names; its
// bytes are written on a worker with the progress bar.
#include <QAction>
#include <QTreeWidget>
#include <filesystem>

#include "app/KestrelDlg.h"
#include "app/WorkerRun.h"
#include "dialogs/ImageText.h"
#include "journal/EditSummary.h"
#include "ops/AddFile.h"

namespace kestrel {

void CKestrelDlg::connectAddFile() {
    auto* addFile = new QAction(QStringLiteral("Add &File..."), directoryTree);
    connect(addFile, &QAction::triggered, this, [this] { handleSystemCommand(kAddFileCommand); });
    // The tree's menu offers a file for the selected directory, then the window's commands.
    auto* separator = new QAction(directoryTree);
    separator->setSeparator(true);
    directoryTree->addActions({addFile, separator});
    directoryTree->addActions(actions());
    directoryTree->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CKestrelDlg::addFileToDirectory() {
    if (requireIsoSelected() || !session_) {
        return;
    }
    if (operationRunning()) {
        prompter_->show(Message::notice(
            QStringLiteral("Wait until the running operation ends, then add the file.")));
        return;
    }
    const DirectoryNumber directory = findSelectedDirectory();
    if (directory == 0) {
        prompter_->show(Message::notice(QStringLiteral("Select the directory to add it to.")));
        return;
    }
    const QString chosen =
        prompter_->chooseFileToOpen(QStringLiteral("All Files (*) (*)"), QString());
    if (chosen.isEmpty()) {
        return;
    }
    const std::string source = toLocalPath(chosen);
    const std::string ownName = std::filesystem::path(source).filename().string();
    auto name = fittingIsoName(*session_, ownName);
    auto job = name
                   ? prepareAdd(*session_, directory, source, AddOptions{*name, false, true, false})
                   : Result<AddJob>(name.error());
    // Where the volume cannot grow at its end, a gap of zeros is offered in the question.
    if (!job && name && job.error().kind == ErrorKind::OutOfRange) {
        if (auto gapJob =
                prepareAdd(*session_, directory, source, AddOptions{*name, true, true, false})) {
            job = std::move(gapJob);
        }
    }
    if (!job) {
        showError(QStringLiteral("The file was not added:"), job.error());
        return;
    }
    const Placement& placement = job->data.placement;
    const QString where =
        placement.sectors == 0
            ? QStringLiteral("It holds no bytes, so no sector is written.")
            : QStringLiteral("Its bytes go %1%2.")
                  .arg(QString::fromStdString(placementText(placement)) +
                           (placement.kind == PlacementKind::Gap
                                ? QStringLiteral(", sectors that no directory names and that "
                                                 "hold only zeros (the volume cannot grow at its "
                                                 "end; software on the disc may still read them "
                                                 "by number)")
                                : QString()),
                       placement.volumeSectors > job->data.volumeSectors
                           ? QStringLiteral(", and the image grows by %1")
                                 .arg(QString::fromStdString(formatBytes(
                                     uint64_t{placement.volumeSectors - job->data.volumeSectors} *
                                     2048)))
                           : QString());
    const QString renamed = *name == ownName ? QString()
                                             : QStringLiteral(
                                                   " (its name does not fit the "
                                                   "image's ISO 9660 names)");
    const auto asked = prompter_->show(Message::question(
        QStringLiteral("Add %1 to %2 as %3%4?\n\n%5 Nothing else moves, and Undo takes it back.")
            .arg(QString::fromStdString(ownName), directoryTree->currentItem()->text(0),
                 fromImageBytes(nameOf(job->identifier)), renamed, where),
        QStringLiteral("Add File")));
    if (asked != Answer::Yes) {
        return;
    }
    holdOperationButtons();
    stopQuestion_ = QStringLiteral("A file is being added: close once it is done?");
    startWorker([this, job = std::move(*job)] {
        WorkerObserver observer(*this, "Adding %1", false);
        const auto added = runAdd(job, observer);
        QString done = QStringLiteral("File Added.");
        if (added && added->viewNotUpdated) {
            done += "\n\n" + QString::fromStdString(*added->viewNotUpdated);
        }
        showFromWorker(
            added ? Message::notice(done)
                  : Message::refusal(QString::fromStdString(added.error().message)),
            [this] {
                // The directory and perhaps the volume's size changed: both are read again.
                if (session_) {
                    session_->forgetReadStructures();
                    relistDirectory(findSelectedDirectory());
                }
            },
            [this] { finishOperationDisplay(); });
    });
}

}  // namespace kestrel
