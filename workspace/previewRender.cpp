#include "workspace/previewRender.h"

#include <QImageReader>

QImage renderPreview(const QString &path, QSize area)
{
    if (path.isEmpty() || area.isEmpty())
        return QImage();
    QImageReader reader(path, QByteArray());
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    if (image.isNull())
        return QImage();
    return image.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}
