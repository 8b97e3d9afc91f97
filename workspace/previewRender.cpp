#include "workspace/previewRender.h"

#include "base/nativeName.h"

#include <QImageReader>

QImage renderPreview(const QString &path, QSize area)
{
    if (path.isEmpty() || area.isEmpty())
        return QImage();
    // A name that is not UTF-8 is read through a link Qt can open.
    QImageReader reader(NativeName::reachable(path), QByteArray());
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    if (image.isNull())
        return QImage();
    return image.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}
