#include "dialogs/FolderDialog.h"

#include <QFileDialog>
#include <QUrl>

namespace kestrel {

CFolderDialog::CFolderDialog(const QString& title, const QString& initialFolder, QWidget* owner,
                             unsigned browseFlags)
    : title_(title), initialPath_(initialFolder), owner_(owner), browseFlags_(browseFlags) {}

int CFolderDialog::browseModal() {
    QFileDialog picker(owner_, title_, initialPath_);
    picker.setFileMode(QFileDialog::Directory);
    picker.setOption(QFileDialog::ShowDirsOnly, (browseFlags_ & kReturnOnlyFsDirs) != 0);
    if (picker.exec() != QDialog::Accepted) {
        return kDismissed;
    }
    const auto chosen = picker.selectedUrls();
    if (chosen.isEmpty() || !chosen.first().isLocalFile()) {
        return kNoFileSystemPath;
    }
    chosenPath_ = chosen.first().toLocalFile();
    return kFolderChosen;
}

}  // namespace kestrel
