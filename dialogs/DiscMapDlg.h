// The Disc Map: the presented volume drawn to scale in LBA order, a legend of its colours, and
// where free space lies. The map is made on a worker thread, from a handle of its own; the
// window hands it what to map and follows its clicks.
#pragma once

#include <QDialog>
#include <QPointer>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dialogs/DiscMapModel.h"
#include "image/Volume.h"
#include "io/ImageSource.h"

class QGridLayout;
class QLabel;
class QThread;

namespace kestrel {

class DiscMapView;

// What a map is made of: the presented volume read through a handle the worker may use alone,
// and the sectors the image holds from its LBA 0.
struct DiscMapInput {
    std::shared_ptr<const ImageSource> source;
    Volume volume;
    uint64_t imageSectors = 0;
    QString title;
};

class CDiscMapDlg : public QDialog {
    Q_OBJECT

public:
    explicit CDiscMapDlg(QWidget* parent);
    ~CDiscMapDlg() override;

    // Maps `input` on a worker; the map shown until then stays, as do its zoom and place.
    void showVolume(DiscMapInput input);
    // Hatches the extents of the primary tree's files at `paths`, now and in later maps.
    void setSelectedPaths(std::set<std::string> paths);

    DiscMapView* view() const { return view_; }
    bool mapping() const { return mapping_ > 0; }
    QString freeSpaceText() const;
    QString statusText() const;
    // whois's lines for `lba`, as the tooltip shows them.
    QString describe(uint64_t lba) const;

signals:
    // A file's extent was clicked: the path of its first record in the primary tree.
    void fileClicked(const std::string& path);
    void sectorRequested(uint64_t lba);
    // Each map shown, once drawn from.
    void mapShown();

private:
    void showModel(uint64_t generation, Result<std::shared_ptr<const DiscMapModel>> model);
    void clickSector(uint64_t lba);
    void addLegend(QGridLayout* legend);

    DiscMapView* view_;
    QLabel* title_;
    QLabel* freeSpace_;
    QLabel* status_;
    QLabel* zoomText_;
    std::set<std::string> selectedPaths_;
    std::shared_ptr<const DiscMapModel> model_;
    uint64_t generation_ = 0;
    int mapping_ = 0;
    std::vector<QPointer<QThread>> workers_;
};

}  // namespace kestrel
