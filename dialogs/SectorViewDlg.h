// A read-only view of one sector's bytes, as hex and as text, sixteen to a line: the 2048 bytes
// of a cooked image's sector, or a raw image's whole 2352, each part of it (sync, header,
// subheader, user data, EDC, ECC) in its own colour. Previous, Next and an LBA box move it.
#pragma once

#include <QColor>
#include <QDialog>
#include <cstdint>
#include <functional>

#include "dialogs/Legend.h"
#include "dialogs/SectorSource.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

namespace kestrel {

const ColourKey& sectorPartKey(SectorPart part);
inline QColor sectorPartColour(SectorPart part) {
    return keyColour(sectorPartKey(part));
}

class CSectorViewDlg : public QDialog {
    Q_OBJECT

public:
    CSectorViewDlg(SectorSource source, QWidget* parent);

    // What the line above the bytes says a sector is, beside its mode and place.
    void setDescriber(std::function<QString(uint64_t lba)> describe) {
        describe_ = std::move(describe);
    }
    // Shows sector `lba`; one that cannot be read leaves the bytes empty and says why.
    void showSector(uint64_t lba);
    void setSource(SectorSource source);

    uint64_t lba() const { return lba_; }
    const SectorBytes& sector() const { return sector_; }
    QString shownText() const;
    QString infoText() const;
    // The background the hex digits of byte `offset` are shown on.
    QColor shownColourAt(size_t offset) const;
    QLineEdit* lbaEdit() const { return lbaEdit_; }

private:
    void goToTypedLba();
    void showBytes();

    SectorSource source_;
    std::function<QString(uint64_t)> describe_;
    SectorBytes sector_;
    uint64_t lba_ = 0;
    uint64_t sectors_ = 0;
    QLineEdit* lbaEdit_;
    QLabel* count_;
    QLabel* info_;
    QTextEdit* bytes_;
    QWidget* legend_;
    QPushButton* previous_;
    QPushButton* next_;
};

}  // namespace kestrel
