// The edits of directory records: the master file, relinking to it, and Modify TOC.
#include <QLabel>
#include <QProgressBar>
#include <QStringList>

#include "app/KestrelDlg.h"
#include "dialogs/ImageText.h"
#include "dialogs/ModifyTocDlg.h"
#include "dialogs/Prompter.h"
#include "ops/ModifyToc.h"

namespace kestrel {

namespace {

const char* const kPatchOptionQuestion =
    "Patch BOTH File Location & File Size?\n"
    "Pressing NO will result in FILE LOCATION ONLY being patched";

}  // namespace

bool CKestrelDlg::requireIsoSelected() {
    if (!selectedIsoPath_.empty()) {
        return false;
    }
    prompter_->show(Message::refusal(QStringLiteral("No ISO Selected!")));
    return true;
}

std::string CKestrelDlg::rowText(const std::string& rowName) const {
    return session_ ? session_->volume().nameText(rowName) : utf8FromImageBytes(rowName);
}

QString CKestrelDlg::shownRow(const std::string& rowName) const {
    return session_ ? shownRowName(session_->volume(), rowName)
                    : QString::fromStdString(shownRecordName(rowName));
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
    const QString name = shownRow(rows.front());
    auto chosen = session_ ? chooseMasterFile(*session_, findSelectedDirectory(), rows.front())
                           : Result<MasterFile>(recordNotFound(rows.front(), selectedIsoPath_));
    if (!chosen) {
        showError(QStringLiteral("%1 cannot be the master file:").arg(name), chosen.error());
        return;
    }
    master_ = std::move(*chosen);
    progressBar->setValue(0);
    controlAs<QLabel>(kMasterFileText)
        ->setText(QStringLiteral("Selected Master File: %1").arg(name));
}

void CKestrelDlg::relinkFiles() {
    if (requireIsoSelected()) {
        return;
    }
    if (controlAs<QLabel>(kMasterFileText)->text().isEmpty() || !master_ || !session_) {
        prompter_->show(Message::refusal(QStringLiteral("No Master File Selected!")));
        return;
    }
    const auto rows = requireSelectedRows(QStringLiteral("No File(s) Selected!"));
    if (rows.empty()) {
        return;
    }
    const DirectoryNumber directory = findSelectedDirectory();
    // A master of the other layer is refused by the relink itself; nothing is asked first.
    const bool sameLayer = master_->onLayerOne == session_->presentsLayerOne();
    const Answer answer =
        sameLayer ? prompter_->show(Message::question(QString::fromLatin1(kPatchOptionQuestion),
                                                      QStringLiteral("Patch Option")))
                  : Answer::No;
    reportPatchRun(
        kestrel::relinkFiles(*session_, directory, rows, *master_, answer == Answer::Yes),
        master_->lba);
    relistDirectory(directory);
}

// The records now point at `lba`; where that is one of the volume's own structures, the end
// message says which, as the user may not have meant it.
void CKestrelDlg::reportPatchRun(const PatchRun& run, uint32_t lba) {
    QStringList views;
    for (const auto& view : run.viewsNotUpdated) {
        views.append(QStringLiteral("\n\n") + QString::fromStdString(view));
    }
    const auto structures = session_->structures();
    if (const auto note =
            structures && !run.patched.empty() ? structures->noteForLba(lba) : std::nullopt) {
        views.append(QStringLiteral("\n\n") + QString::fromStdString(*note) + QChar('.'));
    }
    if (!run.failure) {
        prompter_->show(Message::notice(QStringLiteral("File(s) Patched") + views.join(QString())));
        return;
    }
    QStringList patched;
    for (const auto& name : run.patched) {
        patched.append(shownRow(name));
    }
    const QString done =
        patched.isEmpty()
            ? QStringLiteral("No file was patched.")
            : QStringLiteral("Patched before the failure: %1.").arg(patched.join(", "));
    prompter_->show(
        Message::refusal(QStringLiteral("%1 could not be patched:\n\n%2\n\n%3")
                             .arg(shownRow(run.failure->rowName),
                                  QString::fromStdString(run.failure->error.message), done) +
                         views.join(QString())));
}

void CKestrelDlg::modifyToc() {
    if (requireIsoSelected()) {
        return;
    }
    const auto rows = requireSelectedRows(QStringLiteral("No File(s) Selected!"));
    if (rows.empty() || !session_) {
        return;
    }
    const DirectoryNumber directory = findSelectedDirectory();
    auto location = session_->findRecord(directory, rows.front());
    // A file of several extents is refused before the dialog offers one LBA and size for it.
    if (auto single = location ? requireOneExtent(*location) : Result<void>(location.error());
        !single) {
        showError(QStringLiteral("%1 cannot be edited:").arg(shownRow(rows.front())),
                  single.error());
        return;
    }
    tocValues_ = TocValues{shownRow(rows.front()), static_cast<int32_t>(location->extentLba),
                           location->dataLength};
    CModifyTocDlg dialog(tocValues_, *prompter_, this);
    if (dialog.exec() != QDialog::Accepted) {
        return;
    }
    const RecordFields fields{static_cast<uint32_t>(tocValues_.lba), tocValues_.size};
    auto patched = kestrel::modifyToc(*session_, directory, *location, fields);
    PatchRun run;
    if (!patched) {
        run.failure = FileFailure{rows.front(), patched.error()};
    } else if (patched->viewNotUpdated) {
        run.viewsNotUpdated.push_back(*patched->viewNotUpdated);
    }
    if (patched) {
        run.patched.push_back(rows.front());
    }
    reportPatchRun(run, fields.lba);
    relistDirectory(directory);
}

}  // namespace kestrel
