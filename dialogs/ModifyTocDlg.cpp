#include "dialogs/ModifyTocDlg.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <array>
#include <utility>

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
    auto* update = controlAs<QPushButton>(kUpdate);
    // Enter in an edit confirms what was typed there.
    update->setDefault(true);
    connect(update, &QPushButton::clicked, this, &CModifyTocDlg::applyTocEdit);
    connect(controlAs<QPushButton>(kCancel), &QPushButton::clicked, this, &QDialog::reject);
    // The dialog is always shown straight after it is built, so it is filled here.
    initTocDialog();
}

void CModifyTocDlg::initTocDialog() {
    nameGroup->setTitle(values_.name);
    controlAs<QLineEdit>(kLbaEdit)->setText(QString::number(values_.lba));
    controlAs<QLineEdit>(kSizeEdit)->setText(QString::number(values_.size));
    controlAs<QLineEdit>(kLbaEdit)->setFocus();  // the first tab stop, whatever the platform
}

void CModifyTocDlg::applyTocEdit() {
    const auto lba =
        parseTocValue(controlAs<QLineEdit>(kLbaEdit)->text().toStdString(), kTocLbaRange);
    const auto size =
        parseTocValue(controlAs<QLineEdit>(kSizeEdit)->text().toStdString(), kTocSizeRange);
    // A refused value keeps the dialog open so that it can be put right; the values change
    // only when both are good.
    if (!lba || !size) {
        const auto& [field, error] =
            !lba ? std::pair("LBA Position", lba.error()) : std::pair("File Size", size.error());
        prompter_.show(Message::refusal(
            QStringLiteral("%1: %2.\nNothing was written.")
                .arg(QLatin1String(field), QString::fromStdString(error.message))));
        return;
    }
    // The record holds 32 bits; an LBA above 2147483647 is kept as the negative number the
    // list shows for it.
    values_.lba = static_cast<int32_t>(static_cast<uint32_t>(*lba));
    values_.size = static_cast<uint32_t>(*size);
    if (cancelsTocEdit(*lba)) {
        reject();
    } else {
        accept();
    }
}

}  // namespace kestrel
