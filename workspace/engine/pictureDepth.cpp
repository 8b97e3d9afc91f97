#include "workspace/engine/pictureDepth.h"

#include <QColorSpace>

#include <cstring>

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

QImage::Format colourFormatFor(int depth)
{
    return depth == 16 ? QImage::Format_RGBX64 : QImage::Format_RGB888;
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

SampleLayout sampleLayout(const Picture &picture)
{
    const QImage &image = picture.image;
    const bool deep = picture.isDeep();
    const bool alpha = picture.hasAlpha();
    const bool greyFormat =
        image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    SampleLayout layout;
    layout.bitDepth = picture.depth;
    if (picture.isGrey() && !alpha) {
        const QImage::Format format = deep ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8;
        layout.pixels = image.format() == format || greyFormat
                            ? image.convertToFormat(format)
                            : lumaOf(image.convertToFormat(colourFormatFor(picture.depth)));
        layout.channels = layout.stride = 1;
    } else if (picture.isGrey()) {
        // Grey with alpha has no Qt format: the colour channels are equal, the first stands for all.
        layout.pixels = image.convertToFormat(deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
        layout.channels = 2;
        layout.stride = 4;
    } else if (alpha) {
        layout.pixels = image.convertToFormat(deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
        layout.channels = layout.stride = 4;
    } else {
        layout.pixels = image.convertToFormat(deep ? QImage::Format_RGBX64 : QImage::Format_RGB888);
        layout.channels = 3;
        layout.stride = deep ? 4 : 3;
    }
    layout.directRows = !deep && layout.channels == layout.stride;
    return layout;
}

void fillSamples(const SampleLayout &layout, int y, uchar *to, bool bigEndian)
{
    const int width = layout.pixels.width();
    const int alphaAt = layout.stride - 1;
    if (layout.bitDepth == 8) {
        const uchar *from = layout.pixels.constScanLine(y);
        for (int x = 0; x < width; ++x, from += layout.stride) {
            *to++ = from[0];
            if (layout.channels == 2)
                *to++ = from[alphaAt];
            else if (layout.channels >= 3) {
                *to++ = from[1];
                *to++ = from[2];
                if (layout.channels == 4)
                    *to++ = from[3];
            }
        }
        return;
    }
    const auto *from = reinterpret_cast<const quint16 *>(layout.pixels.constScanLine(y));
    auto put = [&to, bigEndian](quint16 value) {
        if (bigEndian) {
            *to++ = uchar(value >> 8);
            *to++ = uchar(value & 0xff);
        } else {
            std::memcpy(to, &value, 2);
            to += 2;
        }
    };
    for (int x = 0; x < width; ++x, from += layout.stride) {
        put(from[0]);
        if (layout.channels == 2) {
            put(from[alphaAt]);
        } else if (layout.channels >= 3) {
            put(from[1]);
            put(from[2]);
            if (layout.channels == 4)
                put(from[3]);
        }
    }
}

QByteArray fileProfile(const Picture &picture, int channels)
{
    const QByteArray &profile = picture.iccProfile;
    // The profile's data colour space, bytes 16 to 19 of its header.
    const QByteArray model = profile.mid(16, 4);
    return model == (channels <= 2 ? QByteArrayLiteral("GRAY") : QByteArrayLiteral("RGB ")) ? profile
                                                                                            : QByteArray();
}

} // namespace engine
