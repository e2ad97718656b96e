// Draws a tree's branches the classic way: dotted lines joining each item to its parent and
// siblings, and a small box with + or - on items that have children.
#pragma once

#include <QProxyStyle>

namespace kestrel {

class BranchLineStyle : public QProxyStyle {
    Q_OBJECT

public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget = nullptr) const override;
};

}  // namespace kestrel
