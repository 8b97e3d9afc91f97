#pragma once

#include "support/imagediff.h"

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QString>

// Whether a button shows the compiled-in image of that name (up to the rounding of Qt's conversions).
inline bool showsImage(const QAbstractButton *button, const QString &name)
{
    const QImage expected =
        QImage(QStringLiteral(":/resources/images/") + name).convertToFormat(QImage::Format_ARGB32);
    const QImage shown =
        button->icon().pixmap(expected.size()).toImage().convertToFormat(QImage::Format_ARGB32);
    return !expected.isNull() && looksTheSame(shown, expected);
}

// A palette whose window colour reads as a dark scheme.
inline QPalette darkPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0x2b, 0x2b, 0x2b));
    palette.setColor(QPalette::WindowText, Qt::white);
    return palette;
}
