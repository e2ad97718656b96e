// Export Patch: the chosen image's edits, as its undo journal keeps them, written as a VCDIFF
// patch that xdelta3 applies to the image as it was before them. The patch is written on a
// worker with the progress bar, as a large overwrite makes a patch as large.
#include <QDir>
#include <QFileInfo>

#include "app/KestrelDlg.h"
#include "app/WorkerRun.h"
#include "journal/EditSummary.h"
#include "ops/PatchExport.h"

namespace kestrel {

namespace {

const char* const kPatchFilter = "VCDIFF Patches (*.vcdiff) (*.vcdiff)";

}  // namespace

void CKestrelDlg::exportPatch() {
    if (requireIsoSelected()) {
        return;
    }
    if (operationRunning()) {
        prompter_->show(Message::notice(
            QStringLiteral("Wait until the running operation ends, then export the patch.")));
        return;
    }
    const QString image = QString::fromStdString(selectedIsoPath_);
    const QFileInfo chosen(image);
    const QString path = prompter_->chooseFileToSave(
        QString::fromLatin1(kPatchFilter),
        chosen.dir().filePath(chosen.completeBaseName() + QStringLiteral(".vcdiff")));
    if (path.isEmpty()) {
        return;
    }
    holdOperationButtons();
    stopQuestion_ = QStringLiteral("A patch is being written: close once it is done?");
    startWorker([this, request = PatchRequest{selectedIsoPath_, path.toStdString(), {}}] {
        WorkerObserver observer(*this, "Writing %1", false);
        const auto written = writePatch(request, &observer);
        onWindowThread([&] {
            finishOperationDisplay();
            if (closing_) {
                return;
            }
            if (!written) {
                showError(QStringLiteral("The patch was not written:"), written.error());
                return;
            }
            prompter_->show(
                Message::notice(QStringLiteral("Patch written: %1, %2, of edits %3 to %4.")
                                    .arg(QString::fromStdString(written->path),
                                         QString::fromStdString(formatBytes(written->bytes)))
                                    .arg(written->firstEntry)
                                    .arg(written->lastEntry)));
        });
    });
}

}  // namespace kestrel
