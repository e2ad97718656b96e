// The real pickers behind Extract and Overwrite: the folder picker's title, mode and three
// results, and the replacement dialog's single filter and starting name.
#include "dialogs/FolderDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>

#include "dialogs/QtPrompter.h"
#include "support/QtPrinters.h"

namespace kestrel {
namespace {

// Runs `act` on the file dialog once it is open.
void whenDialogOpens(std::function<void(QFileDialog&)> act) {
    QTimer::singleShot(0, [act] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr) << "no file dialog opened";
        act(*dialog);
    });
}

TEST(FolderDialog, OffersFoldersOnlyAndReturnsTheChosenOneOrNothing) {
    QTemporaryDir folder;
    QWidget owner;
    CFolderDialog picker("Select Folder To Extract Files To", QString(), &owner,
                         CFolderDialog::kReturnOnlyFsDirs);
    whenDialogOpens([&folder](QFileDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "Select Folder To Extract Files To");
        EXPECT_EQ(dialog.fileMode(), QFileDialog::Directory);
        EXPECT_TRUE(dialog.testOption(QFileDialog::ShowDirsOnly));
        dialog.setDirectory(folder.path());
        dialog.selectFile(folder.path());
        static_cast<QDialog&>(dialog).accept();
    });
    EXPECT_EQ(picker.browseModal(), CFolderDialog::kFolderChosen);
    EXPECT_EQ(QDir(picker.chosenFolderPath()), QDir(folder.path()));

    CFolderDialog dismissed("Select Folder To Extract Files To", QString(), &owner,
                            CFolderDialog::kReturnOnlyFsDirs);
    whenDialogOpens([](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_EQ(dismissed.browseModal(), CFolderDialog::kDismissed);
    EXPECT_TRUE(dismissed.chosenFolderPath().isEmpty());

    QtPrompter prompter(&owner);
    whenDialogOpens([](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_TRUE(prompter.chooseFolder("Select Folder To Extract Files To").isEmpty());
}

TEST(FolderDialog, TheReplacementDialogOffersOnlyFilesOfTheRowsNameAndStartsWithIt) {
    QTemporaryDir folder;
    const QString replacement = folder.filePath("B.TXT");
    QFile(replacement).open(QIODevice::WriteOnly);
    QWidget owner;
    QtPrompter prompter(&owner);
    whenDialogOpens([&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
        const auto* filters = dialog.findChild<QComboBox*>("fileTypeCombo");
        ASSERT_NE(filters, nullptr);
        EXPECT_EQ(filters->count(), 1);
        EXPECT_EQ(filters->currentText(), "B.TXT (B.TXT)");
        EXPECT_EQ(dialog.nameFilters(), QStringList{"B.TXT (B.TXT) (B.TXT)"});
        const auto* name = dialog.findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(name->text(), "B.TXT");
        dialog.setDirectory(folder.path());
        dialog.selectFile(replacement);
        static_cast<QDialog&>(dialog).accept();
    });
    EXPECT_EQ(prompter.chooseFileToOpen("B.TXT (B.TXT) (B.TXT)", "B.TXT"), replacement);
}

}  // namespace
}  // namespace kestrel
