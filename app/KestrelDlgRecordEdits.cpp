// The edits of directory records: the master file, relinking to it, and Modify TOC.
#include <QLabel>
#include <QProgressBar>
#include <QStringList>

#include "app/KestrelDlg.h"
#include "dialogs/ImageText.h"
#include "dialogs/ModifyTocDlg.h"
#include "dialogs/Prompter.h"
#include "ops/MasterFile.h"
#include "ops/ModifyToc.h"

namespace kestrel {

namespace {

const char* const kPatchOptionQuestion =
    "Patch BOTH File Location & File Size?\n"
    "Pressing NO will result in FILE LOCATION ONLY being patched";

}  // namespace

bool CKestrelDlg::requireIsoSelected() {
    if (!state_.selectedIsoPath.empty()) {
        return false;
    }
    prompter_->show(Message::refusal(QStringLiteral("No ISO Selected!")));
    return true;
}

std::vector<std::string> CKestrelDlg::requireSelectedRows(const QString& noneSelected) {
    auto rows = selectedRowNames();
    if (rows.empty()) {
        prompter_->show(Message::notice(noneSelected));
    }
    return rows;
}

void CKestrelDlg::showError(const QString& what, const Error& error) {
    prompter_->show(
        Message::refusal(what + QStringLiteral("\n\n") + QString::fromStdString(error.message)));
}

void CKestrelDlg::selectMasterFile() {
    if (requireIsoSelected()) {
        return;
    }
    const auto rows = requireSelectedRows(QStringLiteral("No File Selected!"));
    if (rows.empty()) {
        return;
    }
    const QString name = fromImageBytes(rows.front());
    if (auto chosen = chooseMasterFile(state_, findSelectedDirectory(), rows.front()); !chosen) {
        showError(QStringLiteral("%1 cannot be the master file:").arg(name), chosen.error());
        return;
    }
    progressBar->setValue(0);
    controlAs<QLabel>(kMasterFileText)
        ->setText(QStringLiteral("Selected Master File: %1").arg(name));
}

void CKestrelDlg::relinkFiles() {
    if (requireIsoSelected()) {
        return;
    }
    if (controlAs<QLabel>(kMasterFileText)->text().isEmpty()) {
        prompter_->show(Message::refusal(QStringLiteral("No Master File Selected!")));
        return;
    }
    const auto rows = requireSelectedRows(QStringLiteral("No File(s) Selected!"));
    if (rows.empty()) {
        return;
    }
    const DirectoryNumber directory = findSelectedDirectory();
    const Answer answer = prompter_->show(Message::question(
        QString::fromLatin1(kPatchOptionQuestion), QStringLiteral("Patch Option")));
    reportPatchRun(kestrel::relinkFiles(state_, directory, rows, answer == Answer::Yes));
    relistDirectory(directory);
}

void CKestrelDlg::reportPatchRun(const PatchRun& run) {
    if (!run.failure) {
        prompter_->show(Message::notice(QStringLiteral("File(s) Patched")));
        return;
    }
    QStringList patched;
    for (const auto& name : run.patched) {
        patched.append(fromImageBytes(name));
    }
    const QString done =
        patched.isEmpty()
            ? QStringLiteral("No file was patched.")
            : QStringLiteral("Patched before the failure: %1.").arg(patched.join(", "));
    prompter_->show(
        Message::refusal(QStringLiteral("%1 could not be patched:\n\n%2\n\n%3")
                             .arg(fromImageBytes(run.failure->rowName),
                                  QString::fromStdString(run.failure->error.message), done)));
}

void CKestrelDlg::modifyToc() {
    if (requireIsoSelected()) {
        return;
    }
    const auto rows = requireSelectedRows(QStringLiteral("No File(s) Selected!"));
    if (rows.empty()) {
        return;
    }
    const DirectoryNumber directory = findSelectedDirectory();
    auto location = readTocRecord(state_, directory, rows.front());
    if (!location) {
        showError(QStringLiteral("%1 cannot be edited:").arg(fromImageBytes(rows.front())),
                  location.error());
        return;
    }
    if (!editTocValues()) {
        return;
    }
    if (auto written = writeTocRecord(state_, *location); !written) {
        reportPatchRun(PatchRun{{}, FileFailure{rows.front(), written.error()}});
    } else {
        prompter_->show(Message::notice(QStringLiteral("File(s) Patched")));
    }
    relistDirectory(directory);
}

bool CKestrelDlg::editTocValues() {
    TocValues values{state_.tocName, state_.tocLba, static_cast<uint32_t>(state_.tocSize)};
    CModifyTocDlg dialog(values, *prompter_, this);
    const bool confirmed = dialog.exec() == QDialog::Accepted;
    state_.tocLba = confirmed ? values.lba : kTocCancelled;
    state_.tocSize = static_cast<int32_t>(values.size);
    return confirmed;
}

}  // namespace kestrel
