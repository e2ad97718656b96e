// Dialog units: positions that scale with the window's font, a horizontal unit being a
// quarter of the font's average character width and a vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace kestrel {

// A rectangle in dialog units: x, y, width, height.
struct DialogRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

class DialogUnits {
public:
    explicit DialogUnits(const QFont& font);
    DialogUnits(int averageCharWidth, int charHeight)
        : baseX_(averageCharWidth), baseY_(charHeight) {}

    // Both edges are converted, so rectangles that meet in dialog units meet in pixels.
    QRect toPixels(const DialogRect& rect) const;
    QSize toPixels(int width, int height) const;

private:
    int baseX_;
    int baseY_;
};

}  // namespace kestrel
