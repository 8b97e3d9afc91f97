#pragma once

#include <QImage>
#include <QSize>
#include <QString>

// The preview picture of a file: decoded whole, turned by the orientation stored in the file (as the
// thumbnail and the upscaled result are) and scaled smoothly, keeping its proportions, to the
// largest size that fits the area, so that a wide scan is seen whole as well as a tall portrait.
// Null when the file cannot be decoded or the area is empty. Thread-safe; runs on the pool.
QImage renderPreview(const QString &path, QSize area);
