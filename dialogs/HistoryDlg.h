// The image's undo journal as a list, newest first: what each edit was, when it was made, what
// its entry keeps and whether it is in effect. Undo, Redo and Export Patch close the dialog
// with that choice; the window then goes on as for its own Undo, Redo and Export Patch.
#pragma once

#include <QDialog>
#include <vector>

#include "journal/Journal.h"

class QTreeWidget;

namespace kestrel {

class CHistoryDlg : public QDialog {
    Q_OBJECT

public:
    // What exec() returns: Close, Escape and the close box give kClosed.
    enum Choice { kClosed = QDialog::Rejected, kUndo = 2, kRedo = 3, kExportPatch = 4 };

    CHistoryDlg(const std::vector<JournalEntry>& history, QWidget* parent);

    QTreeWidget* list() const { return list_; }

private:
    QTreeWidget* list_;
};

}  // namespace kestrel
