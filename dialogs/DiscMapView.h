// The strip of the Disc Map: the disc's sectors in LBA order, in rows, each segment in the
// colour of its kind, the chosen files' extents hatched. Only the rows in view are drawn, each
// cell's segment found by the model's binary search. Ctrl+wheel zooms about the pointer.
#pragma once

#include <QAbstractScrollArea>
#include <QColor>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "dialogs/DiscMapModel.h"
#include "dialogs/Legend.h"

class QPainter;

namespace kestrel {

const ColourKey& mapKindKey(MapKind kind);
inline QColor mapKindColour(MapKind kind) {
    return keyColour(mapKindKey(kind));
}

class DiscMapView : public QAbstractScrollArea {
    Q_OBJECT

public:
    // Zoom levels: a cell of 2^zoom sectors one pixel wide, or below 0 one sector 2^-zoom
    // pixels wide.
    static constexpr int kMinZoom = -4;
    static constexpr int kMaxZoom = 24;

    explicit DiscMapView(QWidget* parent = nullptr);

    // Shows `model`, keeping the zoom and the place in view unless `fit`.
    void setModel(std::shared_ptr<const DiscMapModel> model, bool fit);
    const DiscMapModel* model() const { return model_.get(); }
    // What the tooltip says of a sector.
    void setDescriber(std::function<QString(uint64_t lba)> describe) {
        describe_ = std::move(describe);
    }
    void setHighlights(std::vector<MapSegment> highlights);
    const std::vector<MapSegment>& highlights() const { return highlights_; }

    int zoom() const { return zoom_; }
    void setZoom(int zoom);
    // The closest zoom at which every row fits the view.
    void fitZoom();
    // The sector under a point of the viewport; none off the strip.
    std::optional<uint64_t> lbaAt(QPoint point) const;
    // The middle of the cell showing `lba`, in viewport coordinates, after scrolling it into
    // view.
    QPoint pointOf(uint64_t lba);
    std::optional<MapSegment> segmentAt(QPoint point) const;

signals:
    void sectorClicked(uint64_t lba);
    void sectorActivated(uint64_t lba);
    void zoomChanged(int zoom);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    struct Grid {
        uint64_t sectorsPerCell = 1;
        int cellWidth = 1;
        uint64_t cells = 1;
        uint64_t sectorsPerRow = 1;
        uint64_t rows = 0;
    };
    Grid grid(int zoom) const;
    void updateScrollRange();
    void paintRow(QPainter& painter, uint64_t row, int top) const;
    void paintHighlights(QPainter& painter, uint64_t firstRow, uint64_t lastRow) const;
    // The kind a cell shows: that of its first sector, unless that is free space and an
    // extent starts in the cell, so that a small file in a wide gap still shows.
    MapKind cellKind(const MapSegment& first, uint64_t cellEnd) const;
    // Keeps the sector at viewport height `y` at that height across a change of zoom.
    void zoomAbout(int zoom, int y);

    std::shared_ptr<const DiscMapModel> model_;
    std::function<QString(uint64_t)> describe_;
    std::vector<MapSegment> highlights_;
    Grid grid_;
    int zoom_ = 0;
};

}  // namespace kestrel
