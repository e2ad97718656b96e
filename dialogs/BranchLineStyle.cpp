#include "dialogs/BranchLineStyle.h"

#include <QPainter>
#include <QStyleOption>

namespace kestrel {

void BranchLineStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option,
                                    QPainter* painter, const QWidget* widget) const {
    if (element != PE_IndicatorBranch) {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        return;
    }
    const QRect area = option->rect;
    const QPoint centre = area.center();
    painter->save();
    painter->setPen(QPen(option->palette.color(QPalette::Dark), 1, Qt::DotLine));
    if (option->state & State_Item) {
        painter->drawLine(centre.x(), centre.y(), area.right(), centre.y());
    }
    if (option->state & State_Sibling) {
        painter->drawLine(centre.x(), area.top(), centre.x(), area.bottom());
    } else if (option->state & State_Item) {
        painter->drawLine(centre.x(), area.top(), centre.x(), centre.y());
    }

    if (option->state & State_Children) {
        constexpr int kHalfBox = 4;
        const QRect box(centre.x() - kHalfBox, centre.y() - kHalfBox, 2 * kHalfBox, 2 * kHalfBox);
        painter->setPen(option->palette.color(QPalette::Dark));
        painter->setBrush(option->palette.color(QPalette::Base));
        painter->drawRect(box);
        painter->setPen(option->palette.color(QPalette::Text));
        painter->drawLine(box.left() + 2, centre.y(), box.right() - 2, centre.y());
        if (!(option->state & State_Open)) {
            painter->drawLine(centre.x(), box.top() + 2, centre.x(), box.bottom() - 2);
        }
    }
    painter->restore();
}

}  // namespace kestrel
