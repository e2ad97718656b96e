#include "app/KestrelDlg.h"

#include <QAction>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <array>

#include "app/ListColumns.h"
#include "dialogs/ImageText.h"
#include "dialogs/QtPrompter.h"

namespace kestrel {

namespace {

using enum ControlKind;
using C = CKestrelDlg;

constexpr std::array kControls{
    ControlTemplate{0, GroupBox, "Open ISO File ", {5, 2, 185, 33}},
    ControlTemplate{C::kPathEdit, Edit, "", {10, 12, 154, 12}},
    ControlTemplate{C::kBrowseButton, ImageButton, "Button4", {168, 11, 16, 13}},
    ControlTemplate{C::kDirectoryTree, TreeView, "Tree1", {6, 45, 128, 154}},
    ControlTemplate{0, GroupBox, "", {139, 40, 266, 162}},
    ControlTemplate{0, Picture, ":/res/banner.png", {241, 5, 165, 36}},
    ControlTemplate{0, GroupBox, "", {238, 1, 168, 42}},
    ControlTemplate{0, GroupBox, "Options", {4, 213, 401, 35}},
    ControlTemplate{C::kMasterFileButton, PushButton, "Master File", {9, 224, 49, 10}},
    ControlTemplate{C::kRelinkButton, PushButton, "Relink File(s)", {57, 224, 49, 10}},
    ControlTemplate{C::kOverwriteButton, PushButton, "Overwrite", {106, 224, 49, 10}},
    ControlTemplate{C::kModifyTocButton, PushButton, "Modify TOC", {155, 224, 49, 10}},
    ControlTemplate{C::kDummyButton, PushButton, "Dummy", {204, 224, 49, 10}},
    ControlTemplate{C::kSwitchLayersButton,
                    PushButton,
                    "Switch Layers",
                    {351, 224, 49, 10},
                    StartState::Disabled},
    ControlTemplate{C::kExtractButton, PushButton, "Extract File(s)", {253, 224, 49, 10}},
    ControlTemplate{C::kDiscKindText, Label, "", {14, 35, 120, 9}},
    ControlTemplate{C::kSpareText, Label, "", {208, 3, 16, 8}},
    ControlTemplate{C::kFileList, ListView, "List2", {141, 45, 263, 155}},
    ControlTemplate{C::kProgressBar, ProgressBar, "Progress1", {140, 203, 248, 9}},
    ControlTemplate{C::kStatusText, RightLabel, "", {5, 203, 131, 10}},
    ControlTemplate{C::kPercentText, Label, "", {391, 203, 15, 11}},
    ControlTemplate{C::kCancelButton, PushButton, "CANCEL", {303, 223, 48, 11}, StartState::Hidden},
    ControlTemplate{C::kMasterFileText, Label, "", {9, 236, 137, 9}},
};

constexpr DialogTemplate kMainDialogTemplate{"Tavik ISO Editor", 411, 250, kControls};

constexpr auto kWindowFlags = Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                              Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

// Window-menu commands other than About, handled as the window system would.
constexpr unsigned kMinimizeCommand = 0xF020;
constexpr unsigned kCloseCommand = 0xF060;

const char* const kAboutItemText = "&About Kestrel...";

// The desktop's own Redo keys, and both the common ones whatever the desktop says.
QList<QKeySequence> redoKeys() {
    QList<QKeySequence> keys = QKeySequence::keyBindings(QKeySequence::Redo);
    for (const QKeySequence& common :
         {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z), QKeySequence(Qt::CTRL | Qt::Key_Y)}) {
        if (!keys.contains(common)) {
            keys.append(common);
        }
    }
    return keys;
}

}  // namespace

CKestrelDlg::CKestrelDlg(std::unique_ptr<Prompter> prompter, std::string layerCopyPath,
                         QWidget* parent)
    : TemplateDialog(kMainDialogTemplate, kWindowFlags, parent),
      layerCopyPath_(std::move(layerCopyPath)),
      prompter_(prompter ? std::move(prompter) : std::make_unique<QtPrompter>(this)),
      progressBar(controlAs<QProgressBar>(kProgressBar)),
      fileList(controlAs<QTreeWidget>(kFileList)),
      directoryTree(controlAs<QTreeWidget>(kDirectoryTree)),
      browseButton(controlAs<QPushButton>(kBrowseButton)),
      cancelButton(controlAs<QPushButton>(kCancelButton)) {
    initMainDialog();
    connectEventTable();
    connectProgressDisplay();
    connectImageWatch();
    connectMapAndSectors();
    connectAddFile();
}

CKestrelDlg::~CKestrelDlg() {
    closing_ = true;
    waitForOperation();
}

void CKestrelDlg::initMainDialog() {
    exchangeDialogData(Exchange::Load);
    addWindowMenu();
    setWindowIcon(QIcon(QStringLiteral(":/res/kestrel.png")));

    browseButton->setIcon(QIcon(QStringLiteral(":/res/browse-folder.png")));
    browseButton->setIconSize(QSize(20, 14));
    browseButton->setToolTip(QStringLiteral("Browse for an ISO image"));
    browseButton->setAccessibleName(QStringLiteral("Browse"));
    directoryTree->setIconSize(QSize(15, 13));

    fileList->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("LBA"),
                               QStringLiteral("Size"), QStringLiteral("Date Modified")});
    const auto widths = leadingListColumnWidths(fileList->width() - 2 * fileList->frameWidth());
    for (int column = 0; column < static_cast<int>(widths.size()); ++column) {
        fileList->setColumnWidth(column, widths[column]);
    }
    fileList->header()->setStretchLastSection(true);
}

// Linux window managers own the title bar's menu, so the window's own commands are offered
// as its context menu, ending with Undo, Redo and the About item. Their keys work anywhere in
// the window: the path box, which has the focus once an image is opened, would otherwise take
// Ctrl+Z for undoing its typing (see eventFilter).
void CKestrelDlg::addWindowMenu() {
    const auto addCommand = [this](const QString& text, unsigned command) {
        auto* action = new QAction(text, this);
        connect(action, &QAction::triggered, this,
                [this, command] { handleSystemCommand(command); });
        addAction(action);
        return action;
    };
    addCommand(QStringLiteral("Mi&nimize"), kMinimizeCommand);
    addCommand(QStringLiteral("&Close\tAlt+F4"), kCloseCommand);
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    addAction(separator);
    addCommand(QStringLiteral("&History..."), kHistoryCommand);
    addCommand(QStringLiteral("Export &Patch..."), kExportPatchCommand);
    addCommand(QStringLiteral("Disc &Map...\tM"), kDiscMapCommand)->setShortcut(Qt::Key_M);
    addCommand(QStringLiteral("&Undo"), kUndoCommand)->setShortcut(QKeySequence::Undo);
    addCommand(QStringLiteral("&Redo"), kRedoCommand)->setShortcuts(redoKeys());
    addCommand(QString::fromLatin1(kAboutItemText), kAboutCommand);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    controlAs<QLineEdit>(kPathEdit)->installEventFilter(this);
}

// Left unaccepted, the path box's claim to the undo and redo keys gives them to the window.
bool CKestrelDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const QKeySequence pressed(key->keyCombination());
        if (key->matches(QKeySequence::Undo) || redoKeys().contains(pressed)) {
            return true;
        }
    }
    return TemplateDialog::eventFilter(watched, event);
}

void CKestrelDlg::connectEventTable() {
    const auto clicked = [this](int id, auto handler) {
        connect(controlAs<QPushButton>(id), &QPushButton::clicked, this, handler);
    };
    clicked(kBrowseButton, &CKestrelDlg::browseForImage);
    connect(directoryTree, &QTreeWidget::itemSelectionChanged, this, &CKestrelDlg::listDirectory);
    clicked(kSwitchLayersButton, &CKestrelDlg::switchLayers);
    clicked(kExtractButton, [this] { startBackgroundOperation(Operation::Extract); });
    clicked(kCancelButton, &CKestrelDlg::cancelExtraction);
    clicked(kDummyButton, [this] { startBackgroundOperation(Operation::Dummy); });
    clicked(kModifyTocButton, &CKestrelDlg::modifyToc);
    clicked(kOverwriteButton, [this] { startBackgroundOperation(Operation::Overwrite); });
    clicked(kRelinkButton, &CKestrelDlg::relinkFiles);
    clicked(kMasterFileButton, &CKestrelDlg::selectMasterFile);
}

void CKestrelDlg::exchangeDialogData(Exchange direction) {
    auto* pathEdit = controlAs<QLineEdit>(kPathEdit);
    if (direction == Exchange::Load) {
        pathEdit->setText(fromLocalPath(selectedIsoPath_));
    } else {
        selectedIsoPath_ = toLocalPath(pathEdit->text());
    }
}

void CKestrelDlg::handleSystemCommand(unsigned command) {
    switch (command & 0xFFF0) {
        case kAboutCommand: {
            CModifyTocDlg about(tocValues_, *prompter_, this);
            about.exec();
            break;
        }
        case kUndoCommand:
            undoLastEdit();
            break;
        case kRedoCommand:
            redoLastUndo();
            break;
        case kExportPatchCommand:
            exportPatch();
            break;
        case kHistoryCommand:
            showHistory();
            break;
        case kDiscMapCommand:
            showDiscMap();
            break;
        case kAddFileCommand:
            addFileToDirectory();
            break;
        case kMinimizeCommand:
            showMinimized();
            break;
        case kCloseCommand:
            reject();
            break;
        default:
            break;
    }
}

// Closing with Enter keeps what the path box holds, as closing with OK always has.
void CKestrelDlg::accept() {
    exchangeDialogData(Exchange::Save);
    TemplateDialog::accept();
}

}  // namespace kestrel
