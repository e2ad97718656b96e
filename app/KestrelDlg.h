// The main window: the controls of the main dialog, the table that routes their
// notifications to handlers, and the handlers, which call the core and show its results.
#pragma once

#include <QPointer>
#include <atomic>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "dialogs/DialogTemplate.h"
#include "dialogs/Prompter.h"
#include "image/DirectoryItems.h"
#include "image/EditorState.h"

class QProgressBar;
class QPushButton;
class QThread;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestrel {

struct Error;
struct OperationReport;
struct OperationSnapshot;
struct PatchRun;

class CKestrelDlg : public TemplateDialog {
    Q_OBJECT

public:
    enum Control {
        kPathEdit = 1000,
        kCancelButton = 1008,
        kBrowseButton = 1012,
        kDirectoryTree = 1013,
        kMasterFileButton = 1020,
        kRelinkButton = 1021,
        kOverwriteButton = 1022,
        kModifyTocButton = 1023,
        kDummyButton = 1024,
        kSwitchLayersButton = 1025,
        kExtractButton = 1026,
        kDiscKindText = 1027,
        kSpareText = 1028,
        kFileList = 1030,
        kProgressBar = 1031,
        kStatusText = 1032,
        kPercentText = 1033,
        kMasterFileText = 1034,
    };

    // The window-menu command of the About item; its four low bits are clear, as those of
    // every window-menu command are.
    static constexpr unsigned kAboutCommand = 16;

    // Without a prompter the window shows real message boxes and file dialogs.
    explicit CKestrelDlg(EditorState& state, std::unique_ptr<Prompter> prompter = nullptr,
                         QWidget* parent = nullptr);
    ~CKestrelDlg() override;

    // Opens an image as Browse does once the user has chosen it.
    void openChosenImage(const QString& path);
    void handleSystemCommand(unsigned command);
    void accept() override;
    // Closing while an operation runs waits for it: an extraction stops after the block in
    // hand, Dummy and Overwrite finish the file in hand.
    void done(int result) override;
    bool operationRunning() const;

private:
    enum class Operation { Extract, Dummy, Overwrite };
    class WorkerObserver;

    enum class Exchange { Load, Save };

    void exchangeDialogData(Exchange direction);
    void initMainDialog();
    void addWindowMenu();
    void connectEventTable();

    bool requireIsoSelected();
    DirectoryNumber findSelectedDirectory() const;
    std::vector<std::string> selectedRowNames() const;
    // The selected rows, in list order; when there are none, says `noneSelected`.
    std::vector<std::string> requireSelectedRows(const QString& noneSelected);
    // A refusal: what failed, then the core's account of why.
    void showError(const QString& what, const Error& error);
    // "Error Reading File", then which file and why.
    void reportUnreadable(const Error& error);

    void browseForImage();
    void openVolume();
    void listDirectory();
    void relistDirectory(DirectoryNumber directory);

    void checkDualLayer();
    void switchLayers();
    // Switch Layers can be pressed when the chosen image has a layer-1 copy and no operation
    // holds the buttons.
    void updateSwitchLayersButton();

    // On the window's thread.
    void startBackgroundOperation(Operation operation);
    void cancelExtraction();
    void setOperationButtonsEnabled(bool enabled);
    void holdOperationButtons();
    void releaseOperationButtons();
    void beginFileDisplay(const QString& status);
    void showPercent(int percent);
    void clearProgressDisplay();
    void finishOperationDisplay();
    void waitForOperation();

    // On the worker thread, working only from the snapshot taken when the run started.
    void extractSelectedFiles(const OperationSnapshot& snapshot);
    void dummySelectedFiles(const OperationSnapshot& snapshot);
    void overwriteWorker(const OperationSnapshot& snapshot);
    // Runs `function` on the window's thread and waits for it. Functions that would ask the
    // user check closing_ first: once the window has begun to close, nobody is asked.
    template <class Function>
    std::invoke_result_t<Function> onWindowThread(Function function);
    void showFromWorker(const Message& message);

    void selectMasterFile();
    void relinkFiles();
    void modifyToc();
    // Shows the Modify TOC dialog on the state's tocName, tocLba and tocSize and keeps what
    // it confirms; true when Update confirmed values to write. Any other way out leaves
    // tocLba at kTocCancelled, as the state has always marked a cancelled dialog.
    bool editTocValues();
    void reportPatchRun(const PatchRun& run);

    EditorState& state_;
    std::unique_ptr<Prompter> prompter_;
    QProgressBar* progressBar;
    QTreeWidget* fileList;
    QTreeWidget* directoryTree;
    QPushButton* browseButton;
    QPushButton* cancelButton;
    DirectoryItems<QTreeWidgetItem*> dirItem;

    QPointer<QThread> worker_;
    // Set while an operation keeps the operation buttons disabled.
    bool buttonsHeld_ = false;
    std::atomic<bool> closing_{false};
};

}  // namespace kestrel
