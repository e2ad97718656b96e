#include "dialogs/DialogUnits.h"

#include <QFontMetrics>

namespace kestrel {

namespace {

// value * numerator / denominator, rounded half away from zero.
int scaleRounded(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

// The average width of the Latin letters, rounded: the measure desktop toolkits have long
// used for dialog layouts, steadier than a font's own average over all its glyphs.
int averageLetterWidth(const QFontMetrics& metrics) {
    static const QString letters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font)
    : DialogUnits(averageLetterWidth(QFontMetrics(font)), QFontMetrics(font).height()) {}

QRect DialogUnits::toPixels(const DialogRect& rect) const {
    const int left = scaleRounded(rect.x, baseX_, 4);
    const int top = scaleRounded(rect.y, baseY_, 8);
    const int right = scaleRounded(rect.x + rect.width, baseX_, 4);
    const int bottom = scaleRounded(rect.y + rect.height, baseY_, 8);
    return QRect(left, top, right - left, bottom - top);
}

QSize DialogUnits::toPixels(int width, int height) const {
    return toPixels(DialogRect{0, 0, width, height}).size();
}

}  // namespace kestrel
