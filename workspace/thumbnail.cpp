#include "workspace/thumbnail.h"

#include "base/nativeName.h"

#include <QImageReader>

#include <algorithm>

namespace {
// Megabytes; guards against decompression bombs. Process-wide once set.
constexpr int decodeLimitMb = 256;
} // namespace

void setThumbnailDecodeLimit()
{
    QImageReader::setAllocationLimit(decodeLimitMb);
}

Thumbnail decodeThumbnail(const QString &path, qreal pixelRatio)
{
    // A name that is not UTF-8 is read through a link Qt can open.
    QImageReader reader(NativeName::reachable(path), QByteArray());
    reader.setAutoTransform(true);
    QImage image = reader.read();

    Thumbnail result;
    result.sizeText = QString::number(image.width()) + QLatin1Char('x') + QString::number(image.height());
    if (image.isNull())
        return result;
    const qreal ratio = std::max<qreal>(pixelRatio, 1);
    const int edge = qRound(thumbnailEdge * ratio);
    result.image = image.width() > image.height() ? image.scaledToHeight(edge, Qt::FastTransformation)
                                                  : image.scaledToWidth(edge, Qt::FastTransformation);
    result.image.setDevicePixelRatio(ratio);
    return result;
}

QString thumbnailLabel(const QString &fileName, const QString &sizeText, const QString &folder)
{
    return fileName + QLatin1Char('\n') + sizeText + QLatin1Char('\n') + folder;
}
