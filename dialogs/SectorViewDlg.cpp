#include "dialogs/SectorViewDlg.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <optional>

namespace kestrel {

namespace {

constexpr size_t kBytesPerLine = 16;
// "0930  " before each line's hex digits; a second blank parts its two halves.
constexpr int kOffsetColumns = 6;

constexpr std::array<ColourKey, kSectorParts> kPartKeys{{
    {"#bdbdbd", "Sync"},
    {"#ffcc80", "Header"},
    {"#ce93d8", "Subheader"},
    {"#e3f2fd", "User data"},
    {"#a5d6a7", "EDC"},
    {"#eeeeee", "Reserved (zero)"},
    {"#ef9a9a", "ECC (P and Q parity)"},
    {"#fff59d", "Unknown"},
}};

SectorPart partAt(const std::vector<PartRange>& parts, size_t offset) {
    for (const auto& range : parts) {
        if (offset >= range.offset && offset - range.offset < range.length) {
            return range.part;
        }
    }
    return SectorPart::Unknown;
}

QString printable(uint8_t byte) {
    if (byte < 0x20 || byte > 0x7E) {
        return QStringLiteral(".");
    }
    return QString(QChar(byte)).toHtmlEscaped();
}

// One line of hex and text, each run of bytes of one part on its colour.
QString lineHtml(const SectorBytes& sector, size_t start) {
    const size_t end = std::min(start + kBytesPerLine, sector.bytes.size());
    QString hex = QStringLiteral("%1  ").arg(start, 4, 16, QChar('0'));
    QString text;
    std::optional<SectorPart> open;
    const auto spanFor = [&](size_t offset) {
        const SectorPart part = partAt(sector.parts, offset);
        if (sector.parts.empty() || open == part) {
            return QString();
        }
        const QString close = open ? QStringLiteral("</span>") : QString();
        open = part;
        return close + QStringLiteral("<span style=\"background:%1\">")
                           .arg(QString::fromLatin1(kPartKeys[static_cast<size_t>(part)].colour));
    };
    for (size_t offset = start; offset < end; ++offset) {
        const QString span = spanFor(offset);
        hex += span + QStringLiteral("%1").arg(sector.bytes[offset], 2, 16, QChar('0'));
        text += span + printable(sector.bytes[offset]);
        if (offset + 1 < end) {
            hex += offset - start == kBytesPerLine / 2 - 1 ? QStringLiteral("  ")
                                                           : QStringLiteral(" ");
        }
    }
    const QString close = open ? QStringLiteral("</span>") : QString();
    const int padding = static_cast<int>(kBytesPerLine - (end - start)) * 3;
    return hex + close + QString(padding + 2, QChar(' ')) + QStringLiteral("|") + text + close +
           QStringLiteral("|");
}

}  // namespace

const ColourKey& sectorPartKey(SectorPart part) {
    return kPartKeys[static_cast<size_t>(part)];
}

CSectorViewDlg::CSectorViewDlg(SectorSource source, QWidget* parent)
    : QDialog(parent),
      source_(std::move(source)),
      lbaEdit_(new QLineEdit(this)),
      count_(new QLabel(this)),
      info_(new QLabel(this)),
      bytes_(new QTextEdit(this)),
      legend_(new QWidget(this)),
      previous_(new QPushButton(QStringLiteral("&Previous"), this)),
      next_(new QPushButton(QStringLiteral("&Next"), this)) {
    setWindowTitle(QStringLiteral("Sectors"));
    auto* go = new QPushButton(QStringLiteral("&Go"), this);
    go->setAutoDefault(false);
    previous_->setAutoDefault(false);
    next_->setAutoDefault(false);
    lbaEdit_->setMaximumWidth(120);
    connect(lbaEdit_, &QLineEdit::returnPressed, this, &CSectorViewDlg::goToTypedLba);
    connect(go, &QPushButton::clicked, this, &CSectorViewDlg::goToTypedLba);
    connect(previous_, &QPushButton::clicked, this, [this] { showSector(lba_ - 1); });
    connect(next_, &QPushButton::clicked, this, [this] { showSector(lba_ + 1); });
    previous_->setShortcut(QKeySequence(Qt::Key_PageUp));
    next_->setShortcut(QKeySequence(Qt::Key_PageDown));

    bytes_->setReadOnly(true);
    bytes_->setLineWrapMode(QTextEdit::NoWrap);
    bytes_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    info_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* legend = new QHBoxLayout(legend_);
    legend->setContentsMargins(0, 0, 0, 0);
    for (int part = 0; part < kSectorParts; ++part) {
        legend->addWidget(legendEntry(sectorPartKey(static_cast<SectorPart>(part)), legend_));
    }
    legend->addStretch();

    auto* top = new QHBoxLayout;
    auto* lbaLabel = new QLabel(QStringLiteral("&LBA:"), this);
    lbaLabel->setBuddy(lbaEdit_);
    top->addWidget(lbaLabel);
    top->addWidget(lbaEdit_);
    top->addWidget(go);
    top->addWidget(count_, 1);
    top->addWidget(previous_);
    top->addWidget(next_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(info_);
    layout->addWidget(bytes_, 1);
    layout->addWidget(legend_);
    layout->addWidget(buttons);
    resize(QFontMetrics(bytes_->font()).horizontalAdvance(QString(80, QChar('0'))) + 80, 560);
}

void CSectorViewDlg::setSource(SectorSource source) {
    source_ = std::move(source);
}

void CSectorViewDlg::goToTypedLba() {
    bool ok = false;
    const qulonglong lba = lbaEdit_->text().trimmed().toULongLong(&ok);
    if (!ok) {
        info_->setText(QStringLiteral("\"%1\" is not an LBA: type a sector number from 0.")
                           .arg(lbaEdit_->text()));
        return;
    }
    showSector(lba);
}

void CSectorViewDlg::showSector(uint64_t lba) {
    lba_ = lba;
    lbaEdit_->setText(QString::number(lba));
    const auto sectors = source_.sectors();
    sectors_ = sectors ? *sectors : 0;
    count_->setText(QStringLiteral("of %1 sectors in %2")
                        .arg(sectors_)
                        .arg(QString::fromStdString(source_.path())));
    previous_->setEnabled(lba > 0);
    next_->setEnabled(lba + 1 < sectors_);
    auto read = source_.read(lba);
    if (!read) {
        sector_ = {};
        bytes_->clear();
        info_->setText(QStringLiteral("Sector %1 could not be read: %2")
                           .arg(lba)
                           .arg(QString::fromStdString(read.error().message)));
        legend_->hide();
        return;
    }
    sector_ = std::move(*read);
    QString info = QStringLiteral("%1 sector at byte %2 of the image")
                       .arg(source_.raw() ? QString::fromStdString(sector_.kind) + " raw"
                                          : QStringLiteral("2048-byte"))
                       .arg(sector_.imageOffset);
    if (describe_) {
        info += QStringLiteral(": ") + describe_(lba);
    }
    info_->setText(info);
    legend_->setVisible(!sector_.parts.empty());
    showBytes();
}

void CSectorViewDlg::showBytes() {
    QString html = QStringLiteral("<pre>");
    for (size_t start = 0; start < sector_.bytes.size(); start += kBytesPerLine) {
        html += lineHtml(sector_, start) + QChar('\n');
    }
    bytes_->setHtml(html + QStringLiteral("</pre>"));
}

QString CSectorViewDlg::shownText() const {
    return bytes_->toPlainText();
}

QString CSectorViewDlg::infoText() const {
    return info_->text();
}

QColor CSectorViewDlg::shownColourAt(size_t offset) const {
    const QTextBlock line =
        bytes_->document()->findBlockByNumber(static_cast<int>(offset / kBytesPerLine));
    const size_t column = offset % kBytesPerLine;
    const int position =
        kOffsetColumns + static_cast<int>(column * 3 + column / (kBytesPerLine / 2));
    QTextCursor cursor(line);
    cursor.setPosition(line.position() + position + 1);
    return cursor.charFormat().background().color();
}

}  // namespace kestrel
