#include "workspace/thumbnail.h"

#include "base/nativeName.h"

#include <QImageReader>

namespace {
// Megabytes; guards against decompression bombs. Process-wide once set.
constexpr int decodeLimitMb = 256;
} // namespace

void setThumbnailDecodeLimit()
{
    QImageReader::setAllocationLimit(decodeLimitMb);
}

Thumbnail decodeThumbnail(const QString &path)
{
    // A name that is not UTF-8 is read through a link Qt can open.
    QImageReader reader(NativeName::reachable(path), QByteArray());
    reader.setAutoTransform(true);
    QImage image = reader.read();

    Thumbnail result;
    result.sizeText = QString::number(image.width()) + QLatin1Char('x') + QString::number(image.height());
    if (image.isNull())
        return result;
    result.image = image.width() > image.height()
                       ? image.scaledToHeight(thumbnailEdge, Qt::FastTransformation)
                       : image.scaledToWidth(thumbnailEdge, Qt::FastTransformation);
    return result;
}

QString thumbnailLabel(const QString &fileName, const QString &sizeText, const QString &folder)
{
    return fileName + QLatin1Char('\n') + sizeText + QLatin1Char('\n') + folder;
}
