#include "workspace/engine/pictureDepth.h"

#include <QColorSpace>

namespace engine {

bool isDeep(const QImage &image)
{
    switch (image.format()) {
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGBX16FPx4:
    case QImage::Format_RGBA16FPx4:
    case QImage::Format_RGBA16FPx4_Premultiplied:
    case QImage::Format_RGBX32FPx4:
    case QImage::Format_RGBA32FPx4:
    case QImage::Format_RGBA32FPx4_Premultiplied:
        return true;
    default:
        return false;
    }
}

QImage::Format colourFormatFor(const QImage &image)
{
    return isDeep(image) ? QImage::Format_RGBX64 : QImage::Format_RGB888;
}

namespace {

// Rounded to the nearest; the weights sum to 1000, so white stays white.
template <typename T> T luma(qint64 r, qint64 g, qint64 b)
{
    return T((299 * r + 587 * g + 114 * b + 500) / 1000);
}

// step: channels a pixel holds; grey: 1 to write one luma value, 0 to fill the pixel's colour
// channels of `to` (same layout as `from`).
template <typename T> void lumaRows(const QImage &from, QImage &to, int step, bool intoGrey)
{
    for (int y = 0; y < from.height(); ++y) {
        const T *in = reinterpret_cast<const T *>(from.constScanLine(y));
        T *out = reinterpret_cast<T *>(to.scanLine(y));
        for (int x = 0; x < from.width(); ++x) {
            const T *p = in + step * x;
            const T value = luma<T>(p[0], p[1], p[2]);
            if (intoGrey) {
                out[x] = value;
            } else {
                T *q = out + step * x;
                q[0] = q[1] = q[2] = value;
            }
        }
    }
}

} // namespace

QImage lumaOf(const QImage &colour)
{
    QImage result;
    switch (colour.format()) {
    case QImage::Format_RGB888:
        result = QImage(colour.size(), QImage::Format_Grayscale8);
        if (!result.isNull())
            lumaRows<quint8>(colour, result, 3, true);
        break;
    case QImage::Format_RGBX64:
        result = QImage(colour.size(), QImage::Format_Grayscale16);
        if (!result.isNull())
            lumaRows<quint16>(colour, result, 4, true);
        break;
    case QImage::Format_RGBA8888:
        result = colour.copy();
        if (!result.isNull())
            lumaRows<quint8>(colour, result, 4, false);
        break;
    case QImage::Format_RGBA64:
        result = colour.copy();
        if (!result.isNull())
            lumaRows<quint16>(colour, result, 4, false);
        break;
    default:
        return {};
    }
    if (!result.isNull())
        result.setColorSpace(colour.colorSpace());
    return result;
}

} // namespace engine
