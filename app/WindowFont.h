// The windows' fonts: the named face where it is installed, else the desktop's sans-serif face,
// at the given point size.
#pragma once

#include <QFont>
#include <QFontDatabase>
#include <QString>

inline QFont WindowFont(const QString& family, int pointSize) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    if (QFontDatabase::hasFamily(family)) {
        font.setFamily(family);
    } else {
        font.setFamily(QStringLiteral("Sans Serif"));
        font.setStyleHint(QFont::SansSerif);
    }
    font.setPointSize(pointSize);
    return font;
}
