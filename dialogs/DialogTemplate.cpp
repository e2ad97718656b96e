#include "dialogs/DialogTemplate.h"

#include "dialogs/BranchLineStyle.h"

#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

namespace kestrel {

namespace {

// Templates were laid out for a narrow font; with a wider one a fixed text is set a little
// smaller, rather than be cut off or run into a button's edges.
void fitText(QWidget* control, const QString& text, int margin) {
    constexpr qreal kSmallestPointSize = 6.5;
    QFont font = control->font();
    while (QFontMetrics(font).horizontalAdvance(text) + margin > control->width() &&
           font.pointSizeF() - 0.5 >= kSmallestPointSize) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
    }
    control->setFont(font);
}

QWidget* createControl(const ControlTemplate& control, QWidget* parent) {
    const auto text = QString::fromLatin1(control.text);
    switch (control.kind) {
        case ControlKind::GroupBox:
            return new QGroupBox(text, parent);
        case ControlKind::Edit:
            return new QLineEdit(parent);
        case ControlKind::PushButton:
        case ControlKind::ImageButton: {
            auto* button =
                new QPushButton(control.kind == ControlKind::PushButton ? text : QString(), parent);
            button->setAutoDefault(false);
            return button;
        }
        case ControlKind::TreeView: {
            auto* tree = new QTreeWidget(parent);
            tree->setHeaderHidden(true);
            tree->setColumnCount(1);
            tree->setSelectionMode(QAbstractItemView::SingleSelection);
            auto* lines = new BranchLineStyle;
            lines->setParent(tree);
            tree->setStyle(lines);
            return tree;
        }
        case ControlKind::ListView: {
            auto* list = new QTreeWidget(parent);
            list->setRootIsDecorated(false);
            list->setItemsExpandable(false);
            list->setUniformRowHeights(true);
            list->setSelectionMode(QAbstractItemView::ExtendedSelection);
            list->header()->setSectionsClickable(false);
            list->header()->setSectionsMovable(false);
            list->header()->setStretchLastSection(false);
            return list;
        }
        case ControlKind::Picture: {
            auto* picture = new QLabel(parent);
            picture->setPixmap(QPixmap(text));
            return picture;
        }
        case ControlKind::Label:
            return new QLabel(text, parent);
        case ControlKind::RightLabel: {
            auto* label = new QLabel(text, parent);
            label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            return label;
        }
        case ControlKind::CentredLabel: {
            auto* label = new QLabel(text, parent);
            label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
            return label;
        }
        case ControlKind::ProgressBar: {
            auto* bar = new QProgressBar(parent);
            bar->setRange(0, 100);
            bar->setValue(0);
            bar->setTextVisible(false);
            return bar;
        }
    }
    return nullptr;
}

}  // namespace

TemplateDialog::TemplateDialog(const DialogTemplate& layout, Qt::WindowFlags flags, QWidget* parent)
    : QDialog(parent, flags) {
    setWindowTitle(QString::fromLatin1(layout.caption));
    // A group box's rectangle starts at the top of its title, and its frame runs through the
    // title's middle.
    setStyleSheet(QStringLiteral(
        "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.5em; }"
        "QGroupBox::title { subcontrol-origin: margin; left: 0.5em; padding: 0 0.2em; }"));
    const DialogUnits units(font());
    setFixedSize(units.toPixels(layout.width, layout.height));
    for (const auto& control : layout.controls) {
        QWidget* widget = createControl(control, this);
        const QRect rect = units.toPixels(control.rect);
        if (control.kind == ControlKind::Picture) {
            widget->setGeometry(QRect(rect.topLeft(), widget->sizeHint()));
        } else {
            widget->setGeometry(rect);
        }
        switch (control.kind) {
            case ControlKind::PushButton:
                fitText(widget, QString::fromLatin1(control.text), 6);
                break;
            case ControlKind::Label:
            case ControlKind::RightLabel:
            case ControlKind::CentredLabel:
                fitText(widget, QString::fromLatin1(control.text), 0);
                break;
            default:
                break;
        }
        widget->setEnabled(control.state != StartState::Disabled);
        widget->setVisible(control.state != StartState::Hidden);
        if (control.id != 0) {
            widget->setObjectName(QString::number(control.id));
            controls_.emplace(control.id, widget);
        }
    }
}

QWidget* TemplateDialog::control(int id) const {
    const auto found = controls_.find(id);
    return found == controls_.end() ? nullptr : found->second;
}

void TemplateDialog::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (!enter || modifiers != Qt::NoModifier) {
        QDialog::keyPressEvent(event);
        return;
    }
    if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
        button->click();
    } else if (auto* preferred = defaultButton()) {
        preferred->click();
    } else {
        accept();
    }
}

QPushButton* TemplateDialog::defaultButton() const {
    for (auto* button : findChildren<QPushButton*>(Qt::FindDirectChildrenOnly)) {
        if (button->isDefault()) {
            return button;
        }
    }
    return nullptr;
}

}  // namespace kestrel
