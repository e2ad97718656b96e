// A legend's entries: a colour and what it stands for, and the label that shows one, a swatch
// of the colour before the text.
#pragma once

#include <QColor>
#include <QString>

class QLabel;
class QWidget;

namespace kestrel {

struct ColourKey {
    const char* colour;  // "#1e88e5"
    const char* label;
};

inline QColor keyColour(const ColourKey& key) {
    return QColor(QString::fromLatin1(key.colour));
}

QLabel* legendEntry(const ColourKey& key, QWidget* parent);

}  // namespace kestrel
