#include "workspace/engine/transparency.h"

#include "workspace/engine/pictureDepth.h"

#include <QColorSpace>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <vector>

namespace engine {

namespace {

// Read at 16 bits: an alpha of 65534 is not opaque, though it rounds to 255.
bool hasDeepTransparency(const QImage &image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA64);
    for (int y = 0; y < rgba.height(); ++y) {
        const auto *line = reinterpret_cast<const quint16 *>(rgba.constScanLine(y));
        for (int x = 0; x < rgba.width(); ++x) {
            if (line[4 * x + 3] < 65535)
                return true;
        }
    }
    return false;
}

QImage extractDeepAlphaPlane(const QImage &image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA64);
    QImage alpha(rgba.size(), QImage::Format_Grayscale16);
    if (alpha.isNull())
        return {};
    for (int y = 0; y < rgba.height(); ++y) {
        const auto *from = reinterpret_cast<const quint16 *>(rgba.constScanLine(y));
        auto *to = reinterpret_cast<quint16 *>(alpha.scanLine(y));
        for (int x = 0; x < rgba.width(); ++x)
            to[x] = from[4 * x + 3];
    }
    return alpha;
}

// The colour's RGB (`step` values a pixel) with the plane of the same size as alpha, in `format`, whose
// channels are of type T.
template <typename T>
QImage joined(const QImage &colour, int step, const QImage &alpha, QImage::Format format)
{
    QImage merged(colour.size(), format);
    if (merged.isNull() || alpha.isNull())
        return {};
    for (int y = 0; y < merged.height(); ++y) {
        const auto *c = reinterpret_cast<const T *>(colour.constScanLine(y));
        const auto *a = reinterpret_cast<const T *>(alpha.constScanLine(y));
        auto *to = reinterpret_cast<T *>(merged.scanLine(y));
        for (int x = 0; x < merged.width(); ++x) {
            to[4 * x] = c[step * x];
            to[4 * x + 1] = c[step * x + 1];
            to[4 * x + 2] = c[step * x + 2];
            to[4 * x + 3] = a[x];
        }
    }
    return merged;
}

// Where an output row or column samples the source: the two neighbours and the second's weight in
// 1/65536, pixel centres aligned.
struct Sample {
    int first = 0;
    int second = 0;
    qint64 weight = 0;
};

std::vector<Sample> samples(int from, int to)
{
    std::vector<Sample> result(size_t(to > 0 ? to : 0));
    for (int i = 0; i < to; ++i) {
        const double at = std::clamp((i + 0.5) * from / to - 0.5, 0.0, double(from - 1));
        Sample &sample = result[size_t(i)];
        sample.first = int(at);
        sample.second = std::min(sample.first + 1, from - 1);
        sample.weight = qint64(std::lround((at - sample.first) * 65536));
    }
    return result;
}

// Bilinear scaling of a 16-bit plane. Qt's smooth scaling of 16-bit grey loses a level or two (fully
// opaque 65535 comes out 65533, a picture slightly see-through); here the weights add up exactly, so
// an even area keeps its value.
QImage scaledPlane16(const QImage &plane, QSize size)
{
    QImage scaled(size, QImage::Format_Grayscale16);
    if (scaled.isNull() || plane.isNull())
        return {};
    const std::vector<Sample> columns = samples(plane.width(), size.width());
    const std::vector<Sample> rows = samples(plane.height(), size.height());
    for (int y = 0; y < size.height(); ++y) {
        const Sample &row = rows[size_t(y)];
        const auto *top = reinterpret_cast<const quint16 *>(plane.constScanLine(row.first));
        const auto *bottom = reinterpret_cast<const quint16 *>(plane.constScanLine(row.second));
        auto *to = reinterpret_cast<quint16 *>(scaled.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const Sample &column = columns[size_t(x)];
            const qint64 upper =
                top[column.first] * (65536 - column.weight) + top[column.second] * column.weight;
            const qint64 lower =
                bottom[column.first] * (65536 - column.weight) + bottom[column.second] * column.weight;
            to[x] = quint16((upper * (65536 - row.weight) + lower * row.weight + (qint64(1) << 31)) >> 32);
        }
    }
    return scaled;
}

// Format_RGBA64 from a 16-bit colour result and an alpha plane of any depth.
QImage mergeDeepAlpha(const QImage &colour, const QImage &alphaPlane)
{
    const QImage rgbx = colour.convertToFormat(QImage::Format_RGBX64);
    const QImage alpha = scaledPlane16(alphaPlane.convertToFormat(QImage::Format_Grayscale16), rgbx.size());
    QImage merged = joined<quint16>(rgbx, 4, alpha, QImage::Format_RGBA64);
    merged.setColorSpace(colour.colorSpace());
    return merged;
}

} // namespace

bool hasTransparency(const QImage &image)
{
    if (image.isNull() || !image.hasAlphaChannel())
        return false;
    if (isDeep(image))
        return hasDeepTransparency(image);
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

QImage extractAlphaPlane(const Picture &picture)
{
    const QImage &image = picture.image;
    if (image.isNull())
        return {};
    if (picture.isDeep())
        return extractDeepAlphaPlane(image);
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

QImage mergeAlpha(const QImage &colour, const QImage &alphaPlane, int depth)
{
    if (colour.isNull() || alphaPlane.isNull())
        return {};
    if (depth == 16)
        return mergeDeepAlpha(colour, alphaPlane);
    const QImage rgb =
        colour.format() == QImage::Format_RGB888 ? colour : colour.convertToFormat(QImage::Format_RGB888);
    // Bilinear scaling of the plane: alpha never passes through the network.
    const QImage alpha = alphaPlane.convertToFormat(QImage::Format_Grayscale8)
                             .scaled(rgb.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage merged = joined<uchar>(rgb, 3, alpha, QImage::Format_RGBA8888);
    merged.setColorSpace(colour.colorSpace());
    return merged;
}

} // namespace engine
