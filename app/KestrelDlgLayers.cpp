// Dual-layer images: telling DVD5 from DVD9, and switching between the two volumes.
#include <QLabel>
#include <QPushButton>

#include "app/KestrelDlg.h"
#include "image/DualLayer.h"

namespace kestrel {

namespace {

const char* const kSingleLayerText = "Single-Layer DVD (DVD5)";
const char* const kLayerZeroText = "Dual-Layer DVD (DVD9) - Layer 0";
const char* const kLayerOneText = "Dual-Layer DVD (DVD9) - Layer 1";

}  // namespace

void CKestrelDlg::checkDualLayer() {
    using enum DualLayerCheck::Verdict;
    auto* discKind = controlAs<QLabel>(kDiscKindText);
    const auto check = kestrel::checkDualLayer(state_);
    switch (check.verdict) {
        case CopyAlreadyMade:
            break;
        case SingleLayer:
            discKind->setText(QString::fromLatin1(kSingleLayerText));
            break;
        case DualLayer:
            discKind->setText(QString::fromLatin1(kLayerZeroText));
            break;
        case ImageUnreadable:
            reportUnreadable(*check.error);
            break;
        case CopyNotMade:
            // Without a copy there is no layer 1 to present; Switch Layers stays disabled.
            discKind->setText(QString::fromLatin1(kLayerZeroText));
            prompter_->show(Message::notice(QStringLiteral("Can't Make File\n\n") +
                                            QString::fromStdString(check.error->message)));
            break;
    }
}

void CKestrelDlg::switchLayers() {
    kestrel::switchLayers(state_);
    controlAs<QLabel>(kDiscKindText)
        ->setText(QString::fromLatin1(state_.presentsLayerOne() ? kLayerOneText : kLayerZeroText));
    openVolume();
}

void CKestrelDlg::updateSwitchLayersButton() {
    controlAs<QPushButton>(kSwitchLayersButton)->setEnabled(state_.layerCopyMade && !buttonsHeld_);
}

}  // namespace kestrel
