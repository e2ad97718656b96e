// Another program may change the open image: another Kestrel, kestrel-cli, a patcher. The
// window watches the image's file and lists the directory in view again when it changes,
// keeping the selection where its rows are still listed.
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>

#include "app/KestrelDlg.h"

namespace kestrel {

namespace {

// A patcher writes in many pieces; the list is read again once they have settled.
constexpr int kSettleMs = 100;

constexpr int kRowNameRole = Qt::UserRole;

}  // namespace

void CKestrelDlg::connectImageWatch() {
    imageWatcher_ = new QFileSystemWatcher(this);
    imageSettled_ = new QTimer(this);
    imageSettled_->setSingleShot(true);
    imageSettled_->setInterval(kSettleMs);
    connect(imageWatcher_, &QFileSystemWatcher::fileChanged, this, [this](const QString& path) {
        // A file replaced by renaming another over it is no longer watched by the old name.
        if (!imageWatcher_->files().contains(path) && QFileInfo::exists(path)) {
            imageWatcher_->addPath(path);
        }
        imageSettled_->start();
    });
    connect(imageSettled_, &QTimer::timeout, this, &CKestrelDlg::relistChangedImage);
}

void CKestrelDlg::watchOpenImage() {
    if (!imageWatcher_->files().isEmpty()) {
        imageWatcher_->removePaths(imageWatcher_->files());
    }
    if (session_) {
        imageWatcher_->addPath(fromLocalPath(session_->imagePath()));
    }
}

void CKestrelDlg::relistChangedImage() {
    // A run of this window's own lists again when it ends, if it needs to.
    if (!session_ || operationRunning()) {
        return;
    }
    const auto selected = selectedRowNames();
    session_->forgetReadStructures();
    refreshDiscMap();
    relistDirectory(findSelectedDirectory());
    for (int row = 0; row < fileList->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = fileList->topLevelItem(row);
        const auto name = item->data(0, kRowNameRole).toByteArray().toStdString();
        item->setSelected(std::ranges::find(selected, name) != selected.end());
    }
}

}  // namespace kestrel
