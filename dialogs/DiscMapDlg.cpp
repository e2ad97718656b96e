#include "dialogs/DiscMapDlg.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
#include <QThread>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/DiscMapView.h"
#include "journal/EditSummary.h"

namespace kestrel {

namespace {

constexpr int kLegendColumns = 3;
constexpr uint64_t kSectorBytes = 2048;

QString sectorsText(uint64_t sectors) {
    return QStringLiteral("%1 sector%2 (%3)")
        .arg(sectors)
        .arg(sectors == 1 ? "" : "s")
        .arg(QString::fromStdString(formatBytes(sectors * kSectorBytes)));
}

QString zoomText(int zoom) {
    return zoom >= 0 ? QStringLiteral("%1 sector%2 a pixel").arg(1ULL << zoom).arg(zoom ? "s" : "")
                     : QStringLiteral("%1 pixels a sector").arg(1 << -zoom);
}

}  // namespace

CDiscMapDlg::CDiscMapDlg(QWidget* parent)
    : QDialog(parent),
      view_(new DiscMapView(this)),
      title_(new QLabel(this)),
      freeSpace_(new QLabel(this)),
      status_(new QLabel(this)),
      zoomText_(new QLabel(this)) {
    setWindowTitle(QStringLiteral("Disc Map"));
    freeSpace_->setWordWrap(true);
    freeSpace_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    view_->setDescriber([this](uint64_t lba) { return describe(lba); });
    connect(view_, &DiscMapView::sectorClicked, this, &CDiscMapDlg::clickSector);
    connect(view_, &DiscMapView::sectorActivated, this, &CDiscMapDlg::sectorRequested);
    connect(view_, &DiscMapView::zoomChanged, this,
            [this](int zoom) { zoomText_->setText(zoomText(zoom)); });

    auto* viewSectors = new QAction(QStringLiteral("View &Sectors..."), view_);
    connect(viewSectors, &QAction::triggered, this, [this] {
        const auto lba = view_->lbaAt(view_->viewport()->mapFromGlobal(QCursor::pos()));
        emit sectorRequested(lba.value_or(0));
    });
    view_->addAction(viewSectors);
    view_->setContextMenuPolicy(Qt::ActionsContextMenu);

    auto* zoomIn = new QPushButton(QStringLiteral("+"), this);
    auto* zoomOut = new QPushButton(QStringLiteral("\u2212"), this);
    auto* fit = new QPushButton(QStringLiteral("&Fit"), this);
    zoomIn->setObjectName(QStringLiteral("zoomIn"));
    zoomOut->setObjectName(QStringLiteral("zoomOut"));
    zoomIn->setToolTip(QStringLiteral("Zoom in (Ctrl+wheel)"));
    zoomOut->setToolTip(QStringLiteral("Zoom out (Ctrl+wheel)"));
    zoomIn->setShortcut(QKeySequence::ZoomIn);
    zoomOut->setShortcut(QKeySequence::ZoomOut);
    connect(zoomIn, &QPushButton::clicked, this, [this] { view_->setZoom(view_->zoom() - 1); });
    connect(zoomOut, &QPushButton::clicked, this, [this] { view_->setZoom(view_->zoom() + 1); });
    connect(fit, &QPushButton::clicked, view_, &DiscMapView::fitZoom);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* controls = new QHBoxLayout;
    for (QWidget* widget : std::initializer_list<QWidget*>{zoomOut, zoomIn, fit, zoomText_}) {
        controls->addWidget(widget);
    }
    controls->addWidget(status_, 1);
    controls->addWidget(buttons);
    auto* legend = new QGridLayout;
    addLegend(legend);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title_);
    layout->addWidget(view_, 1);
    layout->addLayout(legend);
    layout->addWidget(freeSpace_);
    layout->addLayout(controls);
    resize(760, 460);
}

CDiscMapDlg::~CDiscMapDlg() {
    for (const auto& worker : workers_) {
        if (worker) {
            worker->wait();
        }
    }
}

void CDiscMapDlg::addLegend(QGridLayout* legend) {
    for (int kind = 0; kind < kMapKinds; ++kind) {
        legend->addWidget(legendEntry(mapKindKey(static_cast<MapKind>(kind)), this),
                          kind / kLegendColumns, kind % kLegendColumns);
    }
    auto* selected = new QLabel(QStringLiteral("Hatched: the files selected in the list"), this);
    legend->addWidget(selected, kMapKinds / kLegendColumns, kMapKinds % kLegendColumns);
}

void CDiscMapDlg::showVolume(DiscMapInput input) {
    title_->setText(input.title);
    const uint64_t generation = ++generation_;
    ++mapping_;
    status_->setText(QStringLiteral("Mapping..."));
    auto* worker = QThread::create([this, generation, input = std::move(input)] {
        auto map = mapVolume(*input.source, input.volume);
        Result<std::shared_ptr<const DiscMapModel>> model =
            map ? Result<std::shared_ptr<const DiscMapModel>>(
                      std::make_shared<const DiscMapModel>(std::move(*map), input.imageSectors))
                : Result<std::shared_ptr<const DiscMapModel>>(map.error());
        // The dialog waits for its workers before it goes, so it is there to post to.
        QMetaObject::invokeMethod(
            this, [this, generation, model] { showModel(generation, model); },
            Qt::QueuedConnection);
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    std::erase_if(workers_, [](const QPointer<QThread>& done) { return done.isNull(); });
    workers_.emplace_back(worker);
    worker->start();
}

void CDiscMapDlg::showModel(uint64_t generation,
                            Result<std::shared_ptr<const DiscMapModel>> model) {
    --mapping_;
    // A later map is on its way; this one shows an image as it no longer is.
    if (generation != generation_) {
        return;
    }
    if (!model) {
        status_->setText(QStringLiteral("The volume could not be mapped: %1")
                             .arg(QString::fromStdString(model.error().message)));
        return;
    }
    status_->clear();
    const bool first = !model_;
    model_ = std::move(*model);
    view_->setModel(model_, first);
    setSelectedPaths(std::move(selectedPaths_));
    freeSpace_->setText(freeSpaceText());
    emit mapShown();
}

void CDiscMapDlg::setSelectedPaths(std::set<std::string> paths) {
    selectedPaths_ = std::move(paths);
    if (model_) {
        view_->setHighlights(model_->extentsOwnedBy(selectedPaths_));
    }
}

QString CDiscMapDlg::freeSpaceText() const {
    if (!model_) {
        return {};
    }
    const FreeSpace free = model_->freeSpace();
    QString text = free.gaps == 0 ? QStringLiteral("Free: no gaps in the volume")
                                  : QStringLiteral(
                                        "Free: %1 in %2 gap%3 of the volume, the largest %4 at "
                                        "LBA %5")
                                        .arg(sectorsText(free.gapSectors))
                                        .arg(free.gaps)
                                        .arg(free.gaps == 1 ? "" : "s")
                                        .arg(sectorsText(free.largestGap.sectors))
                                        .arg(free.largestGap.lba);
    text += free.pastVolumeSectors == 0
                ? QStringLiteral("; the image holds nothing past the volume's end.")
                : QStringLiteral("; %1 past the volume's end, from LBA %2.")
                      .arg(sectorsText(free.pastVolumeSectors))
                      .arg(free.pastVolumeStart);
    return text;
}

QString CDiscMapDlg::statusText() const {
    return status_->text();
}

QString CDiscMapDlg::describe(uint64_t lba) const {
    if (!model_) {
        return {};
    }
    QStringList lines;
    for (const auto& line :
         whoisLines(model_->map(), static_cast<uint32_t>(std::min<uint64_t>(lba, UINT32_MAX)))) {
        lines.append(QString::fromStdString(line));
    }
    return lines.join(QChar('\n'));
}

void CDiscMapDlg::clickSector(uint64_t lba) {
    const MapSegment segment = model_->segmentAt(lba);
    if (segment.kind != MapKind::File) {
        return;
    }
    const auto& owners = segment.extent->owners;
    const auto primary =
        std::ranges::find_if(owners, [](const ExtentOwner& owner) { return !owner.joliet; });
    if (primary != owners.end()) {
        emit fileClicked(primary->path);
    }
}

}  // namespace kestrel
