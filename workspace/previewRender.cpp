#include "workspace/previewRender.h"

#include "base/nativeName.h"

#include <QImageReader>
#include <QPainter>

#include <algorithm>

namespace {

QImage decodeOriented(const QString &path)
{
    if (path.isEmpty())
        return QImage();
    // A name that is not UTF-8 is read through a link Qt can open.
    QImageReader reader(NativeName::reachable(path), QByteArray());
    reader.setAutoTransform(true);
    return reader.read();
}

} // namespace

QImage renderPreview(const QString &path, QSize area)
{
    if (area.isEmpty())
        return QImage();
    const QImage image = decodeOriented(path);
    if (image.isNull())
        return QImage();
    return image.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

PreviewPair renderComparison(const QString &sourcePath, const QString &resultPath, QSize area)
{
    PreviewPair pair;
    if (area.isEmpty())
        return pair;
    const QImage source = decodeOriented(sourcePath);
    if (source.isNull())
        return pair;
    const QImage result = decodeOriented(resultPath);
    if (result.isNull()) {
        pair.source = source.scaled(area, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        return pair;
    }
    const QSize shown = result.size().scaled(area, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    pair.source = source.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    pair.result = result.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                      .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return pair;
}

QImage composeComparison(const PreviewPair &pair, double divider, ComparisonSide side)
{
    if (!pair.isComparison())
        return QImage();
    if (side != ComparisonSide::Split)
        return side == ComparisonSide::Source ? pair.source : pair.result;
    // Composed in pixels; the picture keeps the pair's pixel ratio.
    QImage shown = pair.result;
    shown.setDevicePixelRatio(1);
    const int width = shown.width();
    const int x = std::clamp(static_cast<int>(divider * width + 0.5), 0, width);
    QPainter painter(&shown);
    painter.drawImage(QRect(0, 0, x, shown.height()), pair.source, QRect(0, 0, x, shown.height()));
    // Seen on light and dark pictures alike: a light core between two dark edges.
    painter.fillRect(QRect(x - 2, 0, 4, shown.height()), QColor(0, 0, 0, 160));
    painter.fillRect(QRect(x - 1, 0, 2, shown.height()), Qt::white);
    const int handle = std::min(24, shown.height() / 4);
    if (handle > 4) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QColor(0, 0, 0, 160), 2));
        painter.setBrush(Qt::white);
        painter.drawEllipse(QPointF(x, shown.height() / 2.0), handle / 2.0, handle / 2.0);
    }
    painter.end();
    shown.setDevicePixelRatio(pair.result.devicePixelRatio());
    return shown;
}
