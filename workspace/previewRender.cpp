#include "workspace/previewRender.h"

#include <QImageReader>

QImage renderPreview(const QString &path, int areaHeight)
{
    if (path.isEmpty() || areaHeight <= 0)
        return QImage();
    QImageReader reader(path, QByteArray());
    reader.setAutoTransform(true);
    const QImage image = reader.read();
    if (image.isNull())
        return QImage();
    return image.scaledToHeight(areaHeight, Qt::SmoothTransformation);
}
