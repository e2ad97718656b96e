// The Disc Map and the sector view: the window hands them the presented volume and its image,
// each through a handle of their own, follows the map's clicks in its tree and list, and has
// the map hatch the rows selected in the list.
#include <QAction>
#include <QTreeWidget>

#include "app/KestrelDlg.h"
#include "dialogs/DiscMapDlg.h"
#include "dialogs/DiscMapView.h"
#include "dialogs/ImageText.h"
#include "dialogs/SectorViewDlg.h"
#include "image/VolumePaths.h"

namespace kestrel {

namespace {

constexpr int kRowNameRole = Qt::UserRole;
constexpr int kLbaColumn = 1;

// The presented volume as the image itself holds it, `base` bytes in: layer 1 read where it
// lies rather than through its copy, which the session alone holds.
class LayerInImage final : public ImageSource {
public:
    LayerInImage(std::unique_ptr<ImageSource> image, uint64_t base)
        : image_(std::move(image)), base_(base) {}

    const std::string& path() const override { return image_->path(); }
    Result<uint64_t> size() const override {
        const auto size = image_->size();
        if (!size) {
            return size;
        }
        return *size > base_ ? *size - base_ : 0;
    }
    Result<size_t> readAt(uint64_t offset, std::span<uint8_t> buffer) const override {
        return image_->readAt(base_ + offset, buffer);
    }
    Result<FileIdentity> identity() const override { return image_->identity(); }
    void readThrough(const PendingWrites* pending) override { image_->readThrough(pending); }

private:
    std::unique_ptr<ImageSource> image_;
    uint64_t base_;
};

// The presented volume on a handle of its own, for a worker to read alone while the window
// goes on reading through the session's.
Result<std::shared_ptr<const ImageSource>> ownHandle(const OperationSnapshot& where) {
    auto image = where.openImage();
    if (!image) {
        return image.error();
    }
    if (where.layerOffset == 0) {
        return std::shared_ptr<const ImageSource>(std::move(*image));
    }
    return std::shared_ptr<const ImageSource>(
        std::make_shared<LayerInImage>(std::move(*image), where.layerOffset));
}

SectorSource sectorsOf(const OperationSnapshot& where) {
    return {where.image, where.imageLayout, where.layerOffset};
}

}  // namespace

CDiscMapDlg* CKestrelDlg::discMap() const {
    return discMap_;
}

CSectorViewDlg* CKestrelDlg::sectorView() const {
    return sectorView_;
}

void CKestrelDlg::connectMapAndSectors() {
    auto* viewSectors = new QAction(QStringLiteral("View &Sectors..."), fileList);
    connect(viewSectors, &QAction::triggered, this, &CKestrelDlg::viewSelectedSectors);
    // The list's menu offers its rows' sectors, then the window's own commands.
    auto* separator = new QAction(fileList);
    separator->setSeparator(true);
    fileList->addActions({viewSectors, separator});
    fileList->addActions(actions());
    fileList->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(fileList, &QTreeWidget::itemSelectionChanged, this, &CKestrelDlg::hatchSelectedRows);
}

SectorSource CKestrelDlg::sectorSource() const {
    return sectorsOf(session_->snapshot(0, {}));
}

void CKestrelDlg::showDiscMap() {
    if (requireIsoSelected() || !session_) {
        return;
    }
    if (!discMap_) {
        discMap_ = new CDiscMapDlg(this);
        discMap_->setAttribute(Qt::WA_DeleteOnClose);
        connect(discMap_, &CDiscMapDlg::fileClicked, this, &CKestrelDlg::selectMappedFile);
        connect(discMap_, &CDiscMapDlg::sectorRequested, this, &CKestrelDlg::showSectors);
        refreshDiscMap();
        hatchSelectedRows();
    }
    discMap_->show();
    discMap_->raise();
    discMap_->activateWindow();
}

void CKestrelDlg::refreshDiscMap() {
    if (!discMap_) {
        return;
    }
    if (!session_) {
        discMap_->close();
        return;
    }
    const OperationSnapshot where = session_->snapshot(0, {});
    auto source = ownHandle(where);
    const auto sectors = sectorsOf(where).sectors();
    if (!source || !sectors) {
        showError(QStringLiteral("The Disc Map cannot read the image:"),
                  source ? sectors.error() : source.error());
        return;
    }
    discMap_->showVolume(
        {std::move(*source), session_->volume(), *sectors,
         fromLocalPath(session_->presentedName()) + QStringLiteral(": ") + discKindText()});
}

void CKestrelDlg::hatchSelectedRows() {
    if (!discMap_ || !session_) {
        return;
    }
    const std::string directory = directoryPath(session_->volume(), findSelectedDirectory());
    const std::string prefix = directory == "/" ? "" : directory;
    std::set<std::string> paths;
    for (const auto& name : selectedRowNames()) {
        paths.insert(prefix + "/" + name);
    }
    discMap_->setSelectedPaths(std::move(paths));
}

void CKestrelDlg::selectMappedFile(const std::string& path) {
    const auto place = resolveVolumePath(session_->volume(), path);
    if (!place || !place->rowName || place->directory == 0 ||
        place->directory > session_->volume().directories.size()) {
        return;
    }
    directoryTree->setCurrentItem(dirItem.item(place->directory));
    for (int row = 0; row < fileList->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = fileList->topLevelItem(row);
        if (item->data(0, kRowNameRole).toByteArray().toStdString() == *place->rowName) {
            fileList->setCurrentItem(item);
            fileList->scrollToItem(item);
            return;
        }
    }
}

void CKestrelDlg::viewSelectedSectors() {
    // The first selected row in list order, as the other commands on rows take it.
    const QTreeWidgetItem* first = nullptr;
    for (int row = 0; row < fileList->topLevelItemCount() && first == nullptr; ++row) {
        if (fileList->topLevelItem(row)->isSelected()) {
            first = fileList->topLevelItem(row);
        }
    }
    if (first == nullptr) {
        prompter_->show(Message::notice(QStringLiteral("Select a file to view its sectors.")));
        return;
    }
    const qlonglong lba = first->text(kLbaColumn).toLongLong();
    if (lba < 0) {
        prompter_->show(
            Message::notice(QStringLiteral("%1 has no sectors to view: its record gives LBA %2.")
                                .arg(first->text(0))
                                .arg(lba)));
        return;
    }
    showSectors(static_cast<uint64_t>(lba));
}

void CKestrelDlg::showSectors(uint64_t lba) {
    if (!session_) {
        return;
    }
    if (!sectorView_) {
        sectorView_ = new CSectorViewDlg(sectorSource(), this);
        sectorView_->setAttribute(Qt::WA_DeleteOnClose);
        sectorView_->setDescriber([this](uint64_t shown) {
            return discMap_ ? discMap_->describe(shown).replace(QChar('\t'), QStringLiteral("  "))
                            : QString();
        });
    } else {
        sectorView_->setSource(sectorSource());
    }
    sectorView_->showSector(lba);
    sectorView_->show();
    sectorView_->raise();
    sectorView_->activateWindow();
}

}  // namespace kestrel
