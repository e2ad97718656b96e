#include "dialogs/Legend.h"

#include <QLabel>

namespace kestrel {

QLabel* legendEntry(const ColourKey& key, QWidget* parent) {
    return new QLabel(
        QStringLiteral("<span style=\"background:%1\">&nbsp;&nbsp;&nbsp;&nbsp;</span> %2")
            .arg(QString::fromLatin1(key.colour), QString::fromLatin1(key.label).toHtmlEscaped()),
        parent);
}

}  // namespace kestrel
