#include "workspace/engine/transparency.h"

#include <QColorSpace>
#include <QPainter>

namespace engine {

bool hasTransparency(const QImage &image)
{
    if (image.isNull() || !image.hasAlphaChannel())
        return false;
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    for (int y = 0; y < rgba.height(); ++y) {
        const uchar *line = rgba.constScanLine(y);
        for (int x = 0; x < rgba.width(); ++x) {
            if (line[4 * x + 3] < 255)
                return true;
        }
    }
    return false;
}

QImage extractAlphaPlane(const QImage &image)
{
    if (image.isNull())
        return {};
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    QImage alpha(rgba.size(), QImage::Format_Grayscale8);
    if (alpha.isNull())
        return {};
    for (int y = 0; y < rgba.height(); ++y) {
        const uchar *from = rgba.constScanLine(y);
        uchar *to = alpha.scanLine(y);
        for (int x = 0; x < rgba.width(); ++x)
            to[x] = from[4 * x + 3];
    }
    return alpha;
}

QImage flattenOnWhite(const QImage &image)
{
    if (image.isNull())
        return {};
    QImage flat(image.size(), QImage::Format_RGB888);
    if (flat.isNull())
        return {};
    flat.fill(Qt::white);
    QPainter painter(&flat);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(0, 0, image.convertToFormat(QImage::Format_RGBA8888));
    painter.end();
    return flat;
}

QImage mergeAlpha(const QImage &colour, const QImage &alphaPlane)
{
    if (colour.isNull() || alphaPlane.isNull())
        return {};
    const QImage rgb =
        colour.format() == QImage::Format_RGB888 ? colour : colour.convertToFormat(QImage::Format_RGB888);
    // Bilinear scaling of the plane: alpha never passes through the network.
    const QImage alpha = alphaPlane.convertToFormat(QImage::Format_Grayscale8)
                             .scaled(rgb.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage merged(rgb.size(), QImage::Format_RGBA8888);
    if (merged.isNull() || alpha.isNull())
        return {};
    for (int y = 0; y < merged.height(); ++y) {
        const uchar *c = rgb.constScanLine(y);
        const uchar *a = alpha.constScanLine(y);
        uchar *to = merged.scanLine(y);
        for (int x = 0; x < merged.width(); ++x) {
            to[4 * x] = c[3 * x];
            to[4 * x + 1] = c[3 * x + 1];
            to[4 * x + 2] = c[3 * x + 2];
            to[4 * x + 3] = a[x];
        }
    }
    merged.setColorSpace(colour.colorSpace());
    return merged;
}

} // namespace engine
