#include "dialogs/DiscMapView.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <array>
#include <climits>

namespace kestrel {

namespace {

constexpr int kMargin = 6;
constexpr int kRowHeight = 18;
constexpr int kRowPitch = 24;
// Room left of the strip for each row's first LBA.
constexpr int kLabelWidth = 64;
// A scroll range beyond this is too fine to be of use, and nears the scroll bar's limit.
constexpr uint64_t kMostRows = 20'000'000;

constexpr std::array<ColourKey, kMapKinds> kKindKeys{{
    {"#8d6e63", "System area"},
    {"#e53935", "Volume descriptors"},
    {"#fb8c00", "Path tables"},
    {"#43a047", "Directories"},
    {"#8e24aa", "Boot catalog and images"},
    {"#1e88e5", "Files"},
    {"#e0e0e0", "Gaps (free)"},
    {"#b2dfdb", "Past the volume's end (free)"},
}};

bool isFree(MapKind kind) {
    return kind == MapKind::Gap || kind == MapKind::PastVolume;
}

}  // namespace

const ColourKey& mapKindKey(MapKind kind) {
    return kKindKeys[static_cast<size_t>(kind)];
}

DiscMapView::DiscMapView(QWidget* parent) : QAbstractScrollArea(parent) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setMouseTracking(true);
}

void DiscMapView::setModel(std::shared_ptr<const DiscMapModel> model, bool fit) {
    model_ = std::move(model);
    // The highlights point into the model they were found in.
    highlights_.clear();
    if (fit) {
        fitZoom();
    } else {
        setZoom(zoom_);
    }
}

void DiscMapView::setHighlights(std::vector<MapSegment> highlights) {
    highlights_ = std::move(highlights);
    viewport()->update();
}

DiscMapView::Grid DiscMapView::grid(int zoom) const {
    Grid grid;
    grid.sectorsPerCell = zoom >= 0 ? uint64_t{1} << zoom : 1;
    grid.cellWidth = zoom >= 0 ? 1 : 1 << -zoom;
    const int columns = std::max(1, viewport()->width() - kLabelWidth - kMargin);
    grid.cells = static_cast<uint64_t>(std::max(1, columns / grid.cellWidth));
    grid.sectorsPerRow = grid.cells * grid.sectorsPerCell;
    const uint64_t sectors = model_ ? model_->sectors() : 0;
    grid.rows = (sectors + grid.sectorsPerRow - 1) / grid.sectorsPerRow;
    return grid;
}

void DiscMapView::setZoom(int zoom) {
    zoom = std::clamp(zoom, kMinZoom, kMaxZoom);
    while (zoom < kMaxZoom && grid(zoom).rows > kMostRows) {
        ++zoom;
    }
    zoom_ = zoom;
    grid_ = grid(zoom_);
    updateScrollRange();
    viewport()->update();
    emit zoomChanged(zoom_);
}

void DiscMapView::fitZoom() {
    const auto fits = [this](int zoom) {
        return grid(zoom).rows * kRowPitch + 2 * kMargin <= uint64_t(viewport()->height());
    };
    int zoom = kMinZoom;
    while (zoom < kMaxZoom && !fits(zoom)) {
        ++zoom;
    }
    setZoom(zoom);
    verticalScrollBar()->setValue(0);
}

void DiscMapView::zoomAbout(int zoom, int y) {
    const auto shown = lbaAt(QPoint(kLabelWidth, y));
    const int rowY = (y + verticalScrollBar()->value() - kMargin) % kRowPitch;
    setZoom(zoom);
    if (shown) {
        const auto row = static_cast<int64_t>(*shown / grid_.sectorsPerRow);
        verticalScrollBar()->setValue(
            static_cast<int>(std::min<int64_t>(kMargin + row * kRowPitch + rowY - y, INT_MAX)));
    }
}

void DiscMapView::updateScrollRange() {
    const auto total = static_cast<int64_t>(grid_.rows) * kRowPitch + 2 * kMargin;
    QScrollBar* bar = verticalScrollBar();
    bar->setRange(0,
                  static_cast<int>(std::clamp<int64_t>(total - viewport()->height(), 0, INT_MAX)));
    bar->setPageStep(viewport()->height());
    bar->setSingleStep(kRowPitch);
}

std::optional<uint64_t> DiscMapView::lbaAt(QPoint point) const {
    if (!model_ || point.x() < kLabelWidth) {
        return std::nullopt;
    }
    const int64_t y = int64_t{point.y()} + verticalScrollBar()->value() - kMargin;
    if (y < 0 || y % kRowPitch >= kRowHeight) {
        return std::nullopt;
    }
    const auto row = static_cast<uint64_t>(y / kRowPitch);
    const auto cell = static_cast<uint64_t>((point.x() - kLabelWidth) / grid_.cellWidth);
    const uint64_t lba = row * grid_.sectorsPerRow + cell * grid_.sectorsPerCell;
    if (cell >= grid_.cells || lba >= model_->sectors()) {
        return std::nullopt;
    }
    return lba;
}

std::optional<MapSegment> DiscMapView::segmentAt(QPoint point) const {
    const auto lba = lbaAt(point);
    if (!lba) {
        return std::nullopt;
    }
    return model_->segmentAt(*lba);
}

QPoint DiscMapView::pointOf(uint64_t lba) {
    const auto row = static_cast<int64_t>(lba / grid_.sectorsPerRow);
    const auto cell = static_cast<int>((lba % grid_.sectorsPerRow) / grid_.sectorsPerCell);
    const int64_t top = kMargin + row * kRowPitch;
    QScrollBar* bar = verticalScrollBar();
    if (top < bar->value() || top + kRowHeight > bar->value() + viewport()->height()) {
        bar->setValue(static_cast<int>(std::min<int64_t>(top - kMargin, INT_MAX)));
    }
    return {kLabelWidth + cell * grid_.cellWidth + grid_.cellWidth / 2,
            static_cast<int>(top - bar->value()) + kRowHeight / 2};
}

MapKind DiscMapView::cellKind(const MapSegment& first, uint64_t cellEnd) const {
    if (isFree(first.kind) && first.end() < cellEnd) {
        const MapSegment next = model_->segmentAt(first.end());
        if (!isFree(next.kind)) {
            return next.kind;
        }
    }
    return first.kind;
}

void DiscMapView::paintRow(QPainter& painter, uint64_t row, int top) const {
    const uint64_t rowStart = row * grid_.sectorsPerRow;
    const uint64_t rowEnd = std::min(rowStart + grid_.sectorsPerRow, model_->sectors());
    const uint64_t perCell = grid_.sectorsPerCell;
    painter.setPen(palette().color(QPalette::PlaceholderText));
    painter.drawText(QRect(0, top, kLabelWidth - 6, kRowHeight), Qt::AlignRight | Qt::AlignVCenter,
                     QString::number(rowStart));
    const uint64_t rowCells = (rowEnd - rowStart + perCell - 1) / perCell;
    for (uint64_t cell = 0; cell < rowCells;) {
        const uint64_t lba = rowStart + cell * perCell;
        const MapSegment segment = model_->segmentAt(lba);
        const uint64_t segmentEnd = std::min(segment.end(), rowEnd);
        const uint64_t next = std::max(cell + 1, (segmentEnd - rowStart) / perCell);
        const MapKind kind =
            next == cell + 1 ? cellKind(segment, std::min(lba + perCell, rowEnd)) : segment.kind;
        const int x = kLabelWidth + static_cast<int>(cell) * grid_.cellWidth;
        const int width = static_cast<int>(next - cell) * grid_.cellWidth;
        painter.fillRect(x, top, width, kRowHeight, mapKindColour(kind));
        // Where segments wide enough to see meet, a thin line tells neighbours of a kind apart.
        if (segment.lba == lba && cell > 0 && width >= 3) {
            painter.fillRect(x, top, 1, kRowHeight, palette().color(QPalette::Base));
        }
        cell = next;
    }
}

void DiscMapView::paintHighlights(QPainter& painter, uint64_t firstRow, uint64_t lastRow) const {
    const int scroll = verticalScrollBar()->value();
    painter.setPen(QPen(Qt::black, 2));
    painter.setBrush(QBrush(Qt::black, Qt::BDiagPattern));
    for (const auto& highlight : highlights_) {
        const uint64_t end = std::min(highlight.end(), model_->sectors());
        if (highlight.lba >= end) {
            continue;
        }
        const uint64_t from = std::max(firstRow, highlight.lba / grid_.sectorsPerRow);
        const uint64_t to = std::min(lastRow, (end - 1) / grid_.sectorsPerRow);
        for (uint64_t row = from; row <= to; ++row) {
            const uint64_t rowStart = row * grid_.sectorsPerRow;
            const uint64_t start = std::max(highlight.lba, rowStart) - rowStart;
            const uint64_t stop = std::min(end, rowStart + grid_.sectorsPerRow) - rowStart;
            const auto firstCell = static_cast<int>(start / grid_.sectorsPerCell);
            const auto endCell =
                static_cast<int>((stop + grid_.sectorsPerCell - 1) / grid_.sectorsPerCell);
            const int top = kMargin + static_cast<int>(row) * kRowPitch - scroll;
            painter.drawRect(kLabelWidth + firstCell * grid_.cellWidth, top + 1,
                             (endCell - firstCell) * grid_.cellWidth, kRowHeight - 2);
        }
    }
}

void DiscMapView::paintEvent(QPaintEvent*) {
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), palette().color(QPalette::Base));
    if (!model_ || grid_.rows == 0) {
        return;
    }
    const int scroll = verticalScrollBar()->value();
    const uint64_t firstRow = static_cast<uint64_t>(std::max(0, scroll - kMargin)) / kRowPitch;
    const uint64_t lastRow =
        std::min(grid_.rows - 1, static_cast<uint64_t>(scroll + viewport()->height()) / kRowPitch);
    for (uint64_t row = firstRow; row <= lastRow; ++row) {
        paintRow(painter, row, kMargin + static_cast<int>(row * kRowPitch) - scroll);
    }
    paintHighlights(painter, firstRow, lastRow);
}

void DiscMapView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    grid_ = grid(zoom_);
    updateScrollRange();
}

void DiscMapView::wheelEvent(QWheelEvent* event) {
    if (!(event->modifiers() & Qt::ControlModifier)) {
        QAbstractScrollArea::wheelEvent(event);
        return;
    }
    const int steps = event->angleDelta().y() / 120;
    if (steps != 0) {
        zoomAbout(zoom_ - steps, static_cast<int>(event->position().y()));
    }
    event->accept();
}

void DiscMapView::mousePressEvent(QMouseEvent* event) {
    const auto lba = lbaAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && lba) {
        emit sectorClicked(*lba);
    }
}

void DiscMapView::mouseDoubleClickEvent(QMouseEvent* event) {
    const auto lba = lbaAt(event->position().toPoint());
    if (event->button() == Qt::LeftButton && lba) {
        emit sectorActivated(*lba);
    }
}

bool DiscMapView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const auto lba = lbaAt(help->pos());
        if (lba && describe_) {
            QToolTip::showText(help->globalPos(), describe_(*lba), viewport());
        } else {
            QToolTip::hideText();
        }
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

}  // namespace kestrel
