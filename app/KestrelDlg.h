// The main window: the controls of the main dialog, the table that routes their
// notifications to handlers, and the handlers, which call the core and show its results.
#pragma once

#include <QPointer>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "app/DirectoryItems.h"
#include "app/ProgressFeed.h"
#include "dialogs/DialogTemplate.h"
#include "dialogs/ModifyTocDlg.h"
#include "dialogs/Prompter.h"
#include "dialogs/SectorSource.h"
#include "ops/LayerCopyPath.h"
#include "ops/MasterFile.h"
#include "ops/Replace.h"
#include "ops/Session.h"

class QFileSystemWatcher;
class QProgressBar;
class QPushButton;
class QThread;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestrel {

class CDiscMapDlg;
class CSectorViewDlg;
struct Error;
struct OperationReport;

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
    // The Undo item's command, also given by Ctrl+Z; Redo's, by Ctrl+Shift+Z and Ctrl+Y.
    static constexpr unsigned kUndoCommand = 32;
    static constexpr unsigned kRedoCommand = 48;
    // The History item's command: the journal as a list, with Undo and Redo.
    static constexpr unsigned kHistoryCommand = 64;
    // The Export Patch item's command: the journal's edits as a patch xdelta3 applies.
    static constexpr unsigned kExportPatchCommand = 80;
    // The Disc Map's command, also given by the key M.
    static constexpr unsigned kDiscMapCommand = 96;
    // The directory tree's Add File item: a file from this system into the selected directory.
    static constexpr unsigned kAddFileCommand = 112;

    // Without a prompter the window shows real message boxes and file dialogs. The layer-1
    // copy of a dual-layer image is kept at `layerCopyPath`.
    explicit CKestrelDlg(std::unique_ptr<Prompter> prompter = nullptr,
                         std::string layerCopyPath = defaultLayerCopyPath(),
                         QWidget* parent = nullptr);
    ~CKestrelDlg() override;

    // Opens an image as Browse does once the user has chosen it.
    void openChosenImage(const QString& path);
    void handleSystemCommand(unsigned command);
    void accept() override;
    // Closing while an operation runs waits for it: an extraction stops after the block in
    // hand, Dummy and Overwrite finish the file in hand.
    void done(int result) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool operationRunning() const;
    // Called on the worker's thread with each status and percentage a run reports, as it
    // reports them; the display shows only the latest when it next repaints. Lets a test
    // follow a run value by value, or hold it at a value.
    void setProgressProbe(std::function<void(const QString& status, int percent)> probe) {
        progressProbe_ = std::move(probe);
    }
    // The image chosen with Browse, or typed into the path box before closing with Enter.
    const std::string& selectedIsoPath() const { return selectedIsoPath_; }
    // The Disc Map and the sector view while they are open; null otherwise.
    CDiscMapDlg* discMap() const;
    CSectorViewDlg* sectorView() const;
    // Opens the sector view at `lba` of the presented volume.
    void showSectors(uint64_t lba);

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
    // A row's name as the text it stands for, and as the list shows it in a message about it.
    std::string rowText(const std::string& rowName) const;
    QString shownRow(const std::string& rowName) const;
    // A refusal: what failed, then the core's account of why.
    void showError(const QString& what, const Error& error);
    // "Error Reading File", then which file and why.
    void reportUnreadable(const Error& error);
    // Opens the image the path box names; one that cannot be opened leaves the image that was
    // open, and the path box names that again.
    void openSelectedImage();
    bool offerUndoOfUnopenable(const QString& why);
    // The disc-kind line, cut to its width with the whole text as its tooltip.
    void showDiscKind();

    void browseForImage();
    void connectImageWatch();
    // Watches the open image's file, and nothing once no image is open.
    void watchOpenImage();
    // Lists the directory in view again after another program changed the image.
    void relistChangedImage();
    void showVolume();
    void listDirectory();
    void relistDirectory(DirectoryNumber directory);

    void checkDualLayer();
    // What the image is: its kind of disc and layer, or what an image read through its
    // volume descriptor carries.
    QString discKindText() const;
    void switchLayers();
    // Switch Layers can be pressed when the chosen image has a layer-1 copy and no operation
    // holds the buttons.
    void updateSwitchLayersButton();

    // The Disc Map of the presented volume, made again when the image changes or the other
    // layer is presented, the list's selected rows hatched on it.
    void connectMapAndSectors();
    void showDiscMap();
    void refreshDiscMap();
    void hatchSelectedRows();
    // Selects the directory of the file at `path`, a primary-tree path, and its row.
    void selectMappedFile(const std::string& path);
    // The sector view at the first selected row's LBA.
    void viewSelectedSectors();
    // The image's sectors as the presented volume counts them, on the session's handle.
    SectorSource sectorSource() const;

    // Reverts the chosen image's last edit still in effect, once the user confirms it.
    void undoLastEdit();
    // Reverts the last undo, once the user confirms it, while no edit in effect is newer.
    void redoLastUndo();
    // Lists the open image's journal; its Undo and Redo are the window's.
    void showHistory();
    // Asks where to write a patch of the chosen image's edits and writes it on a worker.
    void exportPatch();
    // The tree's menu, with Add File for the selected directory.
    void connectAddFile();
    // Asks for a file and, once the user confirms where it goes, adds it on a worker.
    void addFileToDirectory();
    // The open image's journal, unless a run holds it or it cannot be read, which the user
    // is told; `action` is "undo" or "redo".
    const Journal* journalToRevert(const QString& action);
    void revertEntry(const JournalEntry& entry, const QString& question, const QString& edit,
                     const QString& action);
    // Remembers a run made without undo, which Undo then names rather than finding nothing.
    void noteEditWithoutUndo(const OperationSnapshot& snapshot, EditKind kind);
    // What a crash cut short and the open put back, one notice per edit.
    void showRecoveryNotes();
    // Before a run whose old bytes cannot be kept for undo, asks whether to go on without;
    // false when the user says No.
    bool confirmUndoRoom(OperationSnapshot& snapshot);
    bool confirmOverStructures(OperationSnapshot& snapshot);

    // On the window's thread.
    void startBackgroundOperation(Operation operation);
    // Runs an undo (or, `undoing` false, a redo) of `edit` on a worker with the progress bar;
    // says "Undone: ..." or "Redone: ..." at its end.
    void startRevertRun(std::function<Result<void>(OperationObserver*)> task, const QString& edit,
                        bool undoing);
    void startWorker(std::function<void()> work);
    void cancelExtraction();
    void setOperationButtonsEnabled(bool enabled);
    void holdOperationButtons();
    void releaseOperationButtons();
    // Shows what the worker reported last, if the display does not show it yet.
    void showLatestProgress();
    void clearProgressDisplay();
    void finishOperationDisplay();
    void waitForOperation();
    // Whether the user agrees to stop the run under way so that the window can close.
    bool confirmStopToClose();
    // What closing the window asks while `operation` runs.
    static QString stopQuestion(Operation operation);
    void connectProgressDisplay();

    // On the worker thread, working only from the snapshot taken when the run started.
    void extractSelectedFiles(const OperationSnapshot& snapshot);
    void dummySelectedFiles(const OperationSnapshot& snapshot);
    void overwriteWorker(const OperationSnapshot& snapshot, DirectoryNumber directory);
    // On the window's thread, once Overwrite's replacement is chosen: one of another size than
    // the file may take its exact size, placed whole (Replace), rather than be cut or followed
    // by zeros. The job when the user chose that; none for an Overwrite as always; an error
    // when the user chose neither.
    Result<std::optional<ReplaceJob>> chooseWholeReplacement(const OperationSnapshot& snapshot,
                                                             DirectoryNumber directory,
                                                             const QString& replacement);
    void replaceWorker(const OperationSnapshot& snapshot, const ReplaceJob& job);
    // Runs `function` on the window's thread and waits for it, once the display shows the
    // progress reported before. Only what must be done before the worker goes on (a
    // question, the end message, the buttons) comes this way; progress goes through
    // progressFeed_. Functions that would ask the user check closing_ first: once the window
    // has begun to close, nobody is asked.
    template <class Function>
    std::invoke_result_t<Function> onWindowThread(Function function);
    // Shows `message` in the same wait as what the display does before and after it.
    void showFromWorker(const Message& message, const std::function<void()>& before = {},
                        const std::function<void()>& after = {});

    void selectMasterFile();
    void relinkFiles();
    void modifyToc();
    void reportPatchRun(const PatchRun& run, uint32_t lba);

    std::string layerCopyPath_;
    std::string selectedIsoPath_;
    std::optional<Session> session_;
    std::optional<MasterFile> master_;
    TocValues tocValues_;
    // The image has a second volume, whether or not its copy could be made.
    bool dualLayer_ = false;
    // What closing the window asks while the last run started still works.
    QString stopQuestion_;
    // The last run this window made without undo, and the newest journal entry then.
    struct EditWithoutUndo {
        std::string imagePath;
        QString edit;
        uint64_t newestEntry = 0;
    };
    std::optional<EditWithoutUndo> withoutUndo_;
    // Set by Extract, cleared by CANCEL, read by the extraction worker.
    std::atomic<uint8_t> extractActive_{0};
    std::unique_ptr<Prompter> prompter_;
    QProgressBar* progressBar;
    QTreeWidget* fileList;
    QTreeWidget* directoryTree;
    QPushButton* browseButton;
    QPushButton* cancelButton;
    DirectoryItems<QTreeWidgetItem*> dirItem;

    QPointer<CDiscMapDlg> discMap_;
    QPointer<CSectorViewDlg> sectorView_;
    QFileSystemWatcher* imageWatcher_ = nullptr;
    QTimer* imageSettled_ = nullptr;  // fires once the image's changes have settled
    QPointer<QThread> worker_;
    ProgressFeed progressFeed_;
    // Picks up the feed once per frame while a worker runs.
    QTimer* progressTimer_ = nullptr;
    std::function<void(const QString& status, int percent)> progressProbe_;
    // Set while an operation keeps the operation buttons disabled.
    bool buttonsHeld_ = false;
    std::atomic<bool> closing_{false};
};

}  // namespace kestrel
