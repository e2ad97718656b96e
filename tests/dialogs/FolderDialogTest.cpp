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
#include <functional>

#include "dialogs/QtPrompter.h"
#include "support/ModalDialogs.h"
#include "support/QtPrinters.h"

namespace kestrel {
namespace {

using test::whenModalOpens;

TEST(FolderDialog, OffersFoldersOnlyAndReturnsTheChosenOneOrNothing) {
    QTemporaryDir folder;
    QWidget owner;
    CFolderDialog picker("Select Folder To Extract Files To", QString(), &owner,
                         CFolderDialog::kReturnOnlyFsDirs);
    whenModalOpens<QFileDialog>([&folder](QFileDialog& dialog) {
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
    whenModalOpens<QFileDialog>([](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_EQ(dismissed.browseModal(), CFolderDialog::kDismissed);
    EXPECT_TRUE(dismissed.chosenFolderPath().isEmpty());

    QtPrompter prompter(&owner);
    whenModalOpens<QFileDialog>([](QFileDialog& dialog) { dialog.reject(); });
    EXPECT_TRUE(prompter.chooseFolder("Select Folder To Extract Files To").isEmpty());
}

TEST(FolderDialog, TheReplacementDialogOffersOnlyFilesOfTheRowsNameAndStartsWithIt) {
    QTemporaryDir folder;
    const QString replacement = folder.filePath("B.TXT");
    QFile(replacement).open(QIODevice::WriteOnly);
    QWidget owner;
    QtPrompter prompter(&owner);
    whenModalOpens<QFileDialog>([&](QFileDialog& dialog) {
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
