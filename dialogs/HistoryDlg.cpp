#include "dialogs/HistoryDlg.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <ranges>

#include "journal/EditSummary.h"

namespace kestrel {

namespace {

QString stateText(JournalEntry::State state) {
    switch (state) {
        case JournalEntry::State::InEffect:
            return QStringLiteral("In effect");
        case JournalEntry::State::Undone:
            return QStringLiteral("Undone");
        case JournalEntry::State::RolledBack:
            return QStringLiteral("Put back when it failed");
        case JournalEntry::State::Incomplete:
            break;
    }
    return QStringLiteral("Cut short");
}

}  // namespace

CHistoryDlg::CHistoryDlg(const std::vector<JournalEntry>& history, QWidget* parent)
    : QDialog(parent), list_(new QTreeWidget(this)) {
    setWindowTitle(QStringLiteral("History"));
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setHeaderLabels({QStringLiteral("#"), QStringLiteral("Edit"), QStringLiteral("Made"),
                            QStringLiteral("Kept for undo"), QStringLiteral("State")});
    for (const auto& entry : std::views::reverse(history)) {
        list_->addTopLevelItem(new QTreeWidgetItem(
            {QString::number(entry.id), QString::fromStdString(describeEdit(entry.summary)),
             QString::fromStdString(madeAtText(entry.summary.madeAt)),
             QString::fromStdString(formatBytes(entry.journalBytes)), stateText(entry.state)}));
    }
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    auto* undo = buttons->addButton(QStringLiteral("&Undo"), QDialogButtonBox::ActionRole);
    auto* redo = buttons->addButton(QStringLiteral("&Redo"), QDialogButtonBox::ActionRole);
    auto* patch =
        buttons->addButton(QStringLiteral("Export &Patch..."), QDialogButtonBox::ActionRole);
    undo->setObjectName(QStringLiteral("undo"));
    redo->setObjectName(QStringLiteral("redo"));
    patch->setObjectName(QStringLiteral("exportPatch"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(undo, &QPushButton::clicked, this, [this] { done(kUndo); });
    connect(redo, &QPushButton::clicked, this, [this] { done(kRedo); });
    connect(patch, &QPushButton::clicked, this, [this] { done(kExportPatch); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(buttons);
    resize(560, 300);
}

}  // namespace kestrel
