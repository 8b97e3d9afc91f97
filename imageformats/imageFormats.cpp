#include "imageformats/imageFormats.h"

#include <QtPlugin>

#include <exiv2/exiv2.hpp>

#include <mutex>

// The library hands out std::auto_ptr.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

// The plugins' entries, made by moc from each plugin class's metadata.
extern const QStaticPlugin qt_static_plugin_HeifPlugin();
extern const QStaticPlugin qt_static_plugin_JxlPlugin();

void registerImageFormats()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qRegisterStaticPluginFunction(qt_static_plugin_HeifPlugin());
        qRegisterStaticPluginFunction(qt_static_plugin_JxlPlugin());
    });
}

namespace imageformats {

QImageIOHandler::Transformations exifOrientation(const QByteArray &tiff)
{
    if (tiff.size() < 8)
        return QImageIOHandler::TransformationNone;
    try {
        Exiv2::ExifData exif;
        Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte *>(tiff.constData()),
                                  uint32_t(tiff.size()));
        const auto found = exif.findKey(Exiv2::ExifKey("Exif.Image.Orientation"));
        if (found == exif.end() || found->count() < 1)
            return QImageIOHandler::TransformationNone;
        const long value = found->toLong();
        // EXIF's values 1 to 8 are Qt's transformations in the same order as ImageTransformation's.
        if (value < 1 || value > 8)
            return QImageIOHandler::TransformationNone;
        static const QImageIOHandler::Transformations byValue[] = {
            QImageIOHandler::TransformationNone,
            QImageIOHandler::TransformationMirror,
            QImageIOHandler::TransformationRotate180,
            QImageIOHandler::TransformationFlip,
            QImageIOHandler::TransformationFlipAndRotate90,
            QImageIOHandler::TransformationRotate90,
            QImageIOHandler::TransformationMirrorAndRotate90,
            QImageIOHandler::TransformationRotate270,
        };
        return byValue[value - 1];
    } catch (const Exiv2::AnyError &) {
        return QImageIOHandler::TransformationNone;
    }
}

void widenSamples(quint16 *samples, qsizetype count, int bits)
{
    if (bits >= 16 || bits < 9)
        return;
    const int up = 16 - bits;
    const int down = bits - up;
    for (qsizetype i = 0; i < count; ++i)
        samples[i] = quint16((samples[i] << up) | (samples[i] >> down));
}

} // namespace imageformats
