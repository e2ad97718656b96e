// Dual-layer images: telling DVD5 from DVD9, switching between the two volumes, and the text
// that says what the image is.
#include <QLabel>
#include <QPushButton>
#include <QStringList>

#include "app/KestrelDlg.h"

namespace kestrel {

namespace {

const char* const kCdText = "CD-ROM";
const char* const kSingleLayerText = "Single-Layer DVD (DVD5)";
const char* const kLayerZeroText = "Dual-Layer DVD (DVD9) - Layer 0";
const char* const kLayerOneText = "Dual-Layer DVD (DVD9) - Layer 1";

// "ISO 9660 - Joliet, Rock Ridge, El Torito"
QString carriedText(const VolumeFeatures& features) {
    QStringList carried;
    for (const auto& [has, name] :
         {std::pair{features.joliet, "Joliet"}, std::pair{features.rockRidge, "Rock Ridge"},
          std::pair{features.elTorito, "El Torito"}, std::pair{features.udf, "UDF"}}) {
        if (has) {
            carried.append(QString::fromLatin1(name));
        }
    }
    return carried.isEmpty() ? QStringLiteral("ISO 9660")
                             : QStringLiteral("ISO 9660 - ") + carried.join(QStringLiteral(", "));
}

}  // namespace

QString CKestrelDlg::discKindText() const {
    if (!session_) {
        return {};
    }
    if (dualLayer_) {
        return QString::fromLatin1(session_->presentsLayerOne() ? kLayerOneText : kLayerZeroText);
    }
    const Volume& volume = session_->volume();
    if (volume.layout == LayoutKind::Descriptor) {
        return carriedText(volume.features);
    }
    return QString::fromLatin1(volume.isDvd ? kSingleLayerText : kCdText);
}

void CKestrelDlg::checkDualLayer() {
    using enum DualLayerCheck::Verdict;
    if (!session_->mayHaveSecondLayer()) {
        return;
    }
    const auto check = session_->checkDualLayer();
    // Without a copy there is no layer 1 to present; Switch Layers stays disabled.
    dualLayer_ = check.verdict == DualLayer || check.verdict == CopyNotMade;
    controlAs<QLabel>(kDiscKindText)->setText(discKindText());
    updateSwitchLayersButton();
    if (check.verdict == ImageUnreadable) {
        reportUnreadable(*check.error);
    } else if (check.verdict == CopyNotMade) {
        prompter_->show(Message::notice(QStringLiteral("Can't Make File\n\n") +
                                        QString::fromStdString(check.error->message)));
    }
}

void CKestrelDlg::switchLayers() {
    auto switched = session_->switchLayers();
    showVolume();
    if (!switched) {
        reportUnreadable(switched.error());
    }
}

void CKestrelDlg::updateSwitchLayersButton() {
    controlAs<QPushButton>(kSwitchLayersButton)
        ->setEnabled(session_ && session_->hasLayerOneCopy() && !buttonsHeld_);
}

}  // namespace kestrel
