#include "dialogs/ModifyTocDlg.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <array>
#include <utility>

#include "dialogs/ImageText.h"
#include "dialogs/Prompter.h"
#include "ops/ModifyToc.h"

namespace kestrel {

namespace {

using enum ControlKind;

constexpr std::array kControls{
    ControlTemplate{CModifyTocDlg::kNameGroup, GroupBox, "", {4, 4, 204, 49}},
    ControlTemplate{0, Label, "LBA Position:", {9, 22, 69, 9}},
    ControlTemplate{0, Label, "File Size:", {110, 21, 71, 10}},
    ControlTemplate{CModifyTocDlg::kLbaEdit, Edit, "", {8, 32, 85, 12}},
    ControlTemplate{CModifyTocDlg::kSizeEdit, Edit, "", {110, 32, 85, 12}},
    ControlTemplate{CModifyTocDlg::kUpdate, PushButton, "Update", {44, 71, 55, 12}},
    ControlTemplate{CModifyTocDlg::kCancel, PushButton, "Cancel", {105, 71, 55, 12}},
    ControlTemplate{
        0, Label, "Replace original value/s with new value and press update", {9, 12, 192, 9}},
    ControlTemplate{0, CentredLabel, "VALUES ARE DECIMAL NOT HEX", {4, 55, 201, 14}},
};

constexpr DialogTemplate kModifyTocTemplate{"Modify TOC", 210, 90, kControls};

constexpr auto kWindowFlags =
    Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

}  // namespace

CModifyTocDlg::CModifyTocDlg(TocValues& values, Prompter& prompter, QWidget* parent)
    : TemplateDialog(kModifyTocTemplate, kWindowFlags, parent),
      values_(values),
      prompter_(prompter),
      nameGroup(controlAs<QGroupBox>(kNameGroup)) {
    connect(controlAs<QPushButton>(kCancel), &QPushButton::clicked, this,
            &CModifyTocDlg::cancelTocEdit);
    connect(controlAs<QPushButton>(kUpdate), &QPushButton::clicked, this,
            &CModifyTocDlg::applyTocEdit);
    // The dialog is always shown straight after it is built, so it is filled here.
    initTocDialog();
}

void CModifyTocDlg::initTocDialog() {
    nameGroup->setTitle(fromImageBytes(values_.name));
    lbaText = QString::number(values_.lba);
    sizeText = QString::number(values_.size);
    controlAs<QLineEdit>(kLbaEdit)->setText(lbaText);
    controlAs<QLineEdit>(kSizeEdit)->setText(sizeText);
    controlAs<QLineEdit>(kLbaEdit)->setFocus();  // the first tab stop, whatever the platform
}

void CModifyTocDlg::applyTocEdit() {
    lbaText = controlAs<QLineEdit>(kLbaEdit)->text();
    sizeText = controlAs<QLineEdit>(kSizeEdit)->text();
    const auto lba = parseTocValue(lbaText.toStdString());
    const auto size = parseTocValue(sizeText.toStdString());
    // A value out of range keeps the dialog open so that it can be put right; the state
    // changes only when both values are good.
    if (!lba || !size) {
        const auto& [field, error] =
            !lba ? std::pair("LBA Position", lba.error()) : std::pair("File Size", size.error());
        prompter_.show(Message::refusal(
            QStringLiteral("%1: %2.\nNothing was written.")
                .arg(QLatin1String(field), QString::fromStdString(error.message))));
        return;
    }
    values_.lba = *lba;
    values_.size = static_cast<uint32_t>(*size);
    accept();
}

void CModifyTocDlg::cancelTocEdit() {
    values_.lba = kTocCancelled;
    reject();
}

}  // namespace kestrel
