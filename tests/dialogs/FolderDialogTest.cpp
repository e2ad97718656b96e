// The real pickers: the folder picker's title, mode and results, and the file dialog's single
// filter, starting name and results.
#include "dialogs/FolderDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLineEdit>
#include <QTemporaryDir>

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

// The filter is shown as it stands, less the blank at its end, which the list trims.
TEST(FolderDialog, TheFileDialogOffersOnlyItsFilterStartsWithTheNameAndReturnsTheChoice) {
    QTemporaryDir folder;
    QWidget owner;
    QtPrompter prompter(&owner);
    for (const auto& [filter, name, shown, choose] :
         {std::tuple("ISO Images (*.iso) (*.iso)", "", "ISO Images (*.iso)", true),
          std::tuple("B.TXT (B.TXT) (B.TXT)", "B.TXT", "B.TXT (B.TXT)", true),
          std::tuple("ISO Images (*.iso) (*.iso)", "", "ISO Images (*.iso)", false)}) {
        const QString file = folder.filePath(*name ? name : "disc.iso");
        QFile(file).open(QIODevice::WriteOnly);
        whenModalOpens<QFileDialog>([&](QFileDialog& dialog) {
            EXPECT_EQ(dialog.fileMode(), QFileDialog::ExistingFile);
            const auto* filters = dialog.findChild<QComboBox*>("fileTypeCombo");
            ASSERT_NE(filters, nullptr);
            EXPECT_EQ(filters->count(), 1);
            EXPECT_EQ(filters->currentText(), shown);
            const auto* edit = dialog.findChild<QLineEdit*>("fileNameEdit");
            ASSERT_NE(edit, nullptr);
            EXPECT_EQ(edit->text(), name);
            dialog.setDirectory(folder.path());
            dialog.selectFile(file);
            choose ? static_cast<QDialog&>(dialog).accept() : dialog.reject();
        });
        EXPECT_EQ(prompter.chooseFileToOpen(filter, name), choose ? file : QString()) << filter;
    }
}

}  // namespace
}  // namespace kestrel
