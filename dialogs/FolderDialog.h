// The folder picker: the user chooses one folder of the file system and gets its path back.
#pragma once

#include <QString>

class QWidget;

namespace kestrel {

class CFolderDialog {
public:
    // Browse flag: only folders with a place in the file system can be chosen.
    static constexpr unsigned kReturnOnlyFsDirs = 1;

    static constexpr int kFolderChosen = 1;
    static constexpr int kNoFileSystemPath = 2;
    static constexpr int kDismissed = -1;

    // An empty `initialFolder` preselects nothing; the picker opens where the platform opens.
    CFolderDialog(const QString& title, const QString& initialFolder, QWidget* owner,
                  unsigned browseFlags);

    // Runs the picker modally: kFolderChosen with chosenFolderPath() set, kNoFileSystemPath
    // for a chosen item that is not a local folder, or kDismissed.
    int browseModal();
    QString chosenFolderPath() const { return chosenPath_; }

private:
    QString title_;
    QString initialPath_;
    QWidget* owner_;
    unsigned browseFlags_;
    QString chosenPath_;
};

}  // namespace kestrel
