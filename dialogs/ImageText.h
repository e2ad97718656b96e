// Labels, identifiers and names come from the image as bytes. They are shown as Latin-1, in
// which every byte is one character, so a name read back from a widget gives exactly the
// bytes it was made from, whatever they are.
#pragma once

#include <QFile>
#include <QString>
#include <string>

#include "image/NameText.h"
#include "image/Volume.h"

namespace kestrel {

inline QString fromImageBytes(const std::string& bytes) {
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

// A name of `volume` as its tree or list shows it: a UDF volume's as the text it was made from.
inline QString shownVolumeName(const Volume& volume, const std::string& bytes) {
    return QString::fromStdString(shownText(volume.nameText(bytes)));
}

// The same leading a line about the row: an empty name would leave the line starting with its
// colon, naming nothing.
inline QString shownRowName(const Volume& volume, const std::string& bytes) {
    return bytes.empty() ? QString::fromStdString(shownRecordName(bytes))
                         : shownVolumeName(volume, bytes);
}

inline std::string toImageBytes(const QString& text) {
    return text.toLatin1().toStdString();
}

// Paths are the system's bytes in its own encoding.
inline QString fromLocalPath(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

inline std::string toLocalPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

}  // namespace kestrel
