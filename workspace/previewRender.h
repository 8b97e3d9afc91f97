#pragma once

#include <QImage>
#include <QString>

// The preview picture of a file: decoded whole, turned by the orientation stored in the file (as the
// thumbnail and the upscaled result are) and scaled smoothly to areaHeight. Null when the file
// cannot be decoded or the height is not positive. Thread-safe; runs on the pool.
QImage renderPreview(const QString &path, int areaHeight);
