// Dual-layer images: telling DVD5 from DVD9, switching between the two volumes, and the text
// that says what the image is.
#include <QLabel>
#include <QPushButton>

#include "app/KestrelDlg.h"
#include "image/DiscKind.h"

namespace kestrel {

QString CKestrelDlg::discKindText() const {
    if (!session_) {
        return {};
    }
    return QString::fromStdString(
        kestrel::discKindText(session_->volume(), dualLayer_, session_->presentsLayerOne()));
}

void CKestrelDlg::showDiscKind() {
    auto* label = controlAs<QLabel>(kDiscKindText);
    const QString whole = discKindText();
    const QString shown = label->fontMetrics().elidedText(whole, Qt::ElideRight, label->width());
    label->setText(shown);
    label->setToolTip(shown == whole ? QString() : whole);
}

void CKestrelDlg::checkDualLayer() {
    using enum DualLayerCheck::Verdict;
    if (!session_->mayHaveSecondLayer()) {
        return;
    }
    const auto check = session_->checkDualLayer();
    // Without a copy there is no layer 1 to present; Switch Layers stays disabled.
    dualLayer_ = check.verdict == DualLayer || check.verdict == CopyNotMade;
    showDiscKind();
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
