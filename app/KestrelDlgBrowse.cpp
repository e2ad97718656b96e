// Browsing: choosing an image, building the directory tree, listing the selected directory.
#include <QLabel>
#include <QLineEdit>
#include <QStringList>
#include <QTreeWidget>

#include "app/KestrelDlg.h"
#include "dialogs/ImageText.h"
#include "dialogs/Prompter.h"
#include "image/VolumePaths.h"

namespace kestrel {

namespace {

// Where a list row keeps its identifier's bytes.
constexpr int kRowNameRole = Qt::UserRole;

// The filter's description ends in a blank; the pattern behind it is what the dialog
// filters by. Raw CD images come as a .bin or .img with the .cue sheet that describes them.
const char* const kIsoFilter = "Disc Images (*.iso *.bin *.img *.cue) (*.iso *.bin *.img *.cue)";

}  // namespace

void CKestrelDlg::browseForImage() {
    const QString path = prompter_->chooseFileToOpen(QString::fromLatin1(kIsoFilter), QString());
    if (!path.isEmpty()) {
        openChosenImage(path);
    }
}

void CKestrelDlg::openChosenImage(const QString& path) {
    selectedIsoPath_ = toLocalPath(path);
    openSelectedImage();
}

void CKestrelDlg::openSelectedImage() {
    exchangeDialogData(Exchange::Load);
    auto opened = Session::open(selectedIsoPath_, layerCopyPath_);
    if (!opened) {
        // What the file is not comes first; the reason, for whoever wants it, after.
        const QString notAnImage =
            opened.error().kind == ErrorKind::CorruptImage
                ? fromLocalPath(selectedIsoPath_) +
                      QStringLiteral(
                          " is not an ISO 9660 or UDF disc image that Kestrel can read.\n\n")
                : QString();
        const QString why = QStringLiteral("Error Reading File\n\n") + notAnImage +
                            QString::fromStdString(opened.error().message);
        if (!offerUndoOfUnopenable(why)) {
            prompter_->show(Message::notice(why));
        }
        // An undo offered above may have opened the image after all.
        if (session_ && session_->imageName() != selectedIsoPath_) {
            selectedIsoPath_ = session_->imageName();
            exchangeDialogData(Exchange::Load);
        }
        return;
    }
    controlAs<QLabel>(kMasterFileText)->clear();
    master_.reset();
    dualLayer_ = false;
    session_ = std::move(*opened);
    watchOpenImage();
    showVolume();
    checkDualLayer();
    showRecoveryNotes();
}

// Builds the tree of the presented volume and lists its root; without one, everything empties.
void CKestrelDlg::showVolume() {
    dirItem.clear();
    directoryTree->clear();
    fileList->clear();
    showDiscKind();
    updateSwitchLayersButton();
    refreshDiscMap();
    if (!session_ || session_->volume().directories.empty()) {
        return;
    }
    const Volume& volume = session_->volume();
    const QIcon folder(QStringLiteral(":/res/tree-folder.png"));
    for (const auto& directory : volume.directories) {
        QTreeWidgetItem* parent = directory.number == 1 ? nullptr : dirItem.item(directory.parent);
        QString text =
            shownVolumeName(volume, directory.number == 1 ? volume.label : directory.identifier);
        // A repeat lists nothing: its entries are listed under the directory it repeats.
        if (directory.sameAs != 0) {
            text += QStringLiteral(" (same as %1)")
                        .arg(shownVolumeName(volume, directoryPath(volume, directory.sameAs)));
        }
        auto* item = parent ? new QTreeWidgetItem(parent, QStringList(text))
                            : new QTreeWidgetItem(directoryTree, QStringList(text));
        item->setIcon(0, folder);
        dirItem.assign(directory.number, item);
    }
    QTreeWidgetItem* root = dirItem.item(1);
    directoryTree->setCurrentItem(root);
    root->setExpanded(true);
}

void CKestrelDlg::reportUnreadable(const Error& error) {
    prompter_->show(Message::notice(QStringLiteral("Error Reading File\n\n") +
                                    QString::fromStdString(error.message)));
}

void CKestrelDlg::listDirectory() {
    fileList->clear();
    if (!session_) {
        return;
    }
    auto listing = session_->listDirectory(findSelectedDirectory());
    if (!listing) {
        reportUnreadable(listing.error());
        return;
    }
    QList<QTreeWidgetItem*> rows;
    rows.reserve(static_cast<qsizetype>(listing->rows.size()));
    for (const auto& row : listing->rows) {
        auto* item = new QTreeWidgetItem(
            {shownVolumeName(session_->volume(), row.name), QString::fromStdString(row.lba),
             QString::fromStdString(row.size), QString::fromStdString(row.dateModified)});
        // The row's name is shown escaped; the identifier's own bytes are what is matched
        // and patched.
        item->setData(0, kRowNameRole, QByteArray::fromStdString(row.name));
        // The long name tells files apart that differ only in case; a file of several
        // extents says how many, and where its chain of records is broken.
        QStringList tip;
        if (!row.longName.empty()) {
            tip.append(QString::fromStdString(shownText(row.longName)));
        }
        if (!row.extents.empty()) {
            tip.append(row.extents.size() == 1
                           ? QStringLiteral("Stored in 1 extent")
                           : QStringLiteral("Stored in %1 extents").arg(row.extents.size()));
        }
        if (!row.brokenChain.empty()) {
            tip.append(QStringLiteral("Its chain of records is broken: %1")
                           .arg(QString::fromStdString(row.brokenChain)));
        }
        for (int column = 0; !tip.isEmpty() && column < item->columnCount(); ++column) {
            item->setToolTip(column, tip.join(QChar('\n')));
        }
        rows.append(item);
    }
    fileList->addTopLevelItems(rows);
}

// Selecting the directory afresh lists it again from the file.
void CKestrelDlg::relistDirectory(DirectoryNumber directory) {
    directoryTree->clearSelection();
    directoryTree->setCurrentItem(dirItem.item(directory));
}

DirectoryNumber CKestrelDlg::findSelectedDirectory() const {
    const auto selected = directoryTree->selectedItems();
    return dirItem.find(selected.isEmpty() ? nullptr : selected.first());
}

std::vector<std::string> CKestrelDlg::selectedRowNames() const {
    std::vector<std::string> names;
    for (int row = 0; row < fileList->topLevelItemCount(); ++row) {
        const QTreeWidgetItem* item = fileList->topLevelItem(row);
        if (item->isSelected()) {
            names.push_back(item->data(0, kRowNameRole).toByteArray().toStdString());
        }
    }
    return names;
}

}  // namespace kestrel
