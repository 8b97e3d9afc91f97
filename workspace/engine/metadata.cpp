#include "workspace/engine/metadata.h"

#include "imageformats/imageFormats.h"

#include <QDebug>
#include <QFile>

#include <exiv2/bmffimage.hpp>
#include <exiv2/exiv2.hpp>
#include <exiv2/webpimage.hpp>

#include <mutex>

// The library hands out std::auto_ptr.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace engine {

namespace {

void toDebugLog(int level, const char *message)
{
    if (level >= Exiv2::LogMsg::warn)
        qDebug() << "exiv2:" << QString::fromLocal8Bit(message).trimmed();
}

void setUpOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // The library's warnings would otherwise go to stderr, where the command line keeps its words.
        Exiv2::LogMsg::setHandler(toDebugLog);
        // XMP's set-up is not thread-safe; done once here, before any thread parses a packet.
        Exiv2::XmpParser::initialize();
        // HEIF, AVIF and JPEG XL (ISO base media files): built in, but off until asked for.
        Exiv2::enableBMFF(true);
        Exiv2::XmpProperties::registerNs("https://www.brivelle.example/xmp/1.0/", "brivelle");
    });
}

const char *const kMarkKey = "Xmp.brivelle.Source";

std::string nativePath(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

// The source's encoding, which the result does not share: strips, tiles, compression, samples.
const char *const kSourceStructure[] = {
    "Exif.Image.StripOffsets",
    "Exif.Image.RowsPerStrip",
    "Exif.Image.StripByteCounts",
    "Exif.Image.TileOffsets",
    "Exif.Image.TileByteCounts",
    "Exif.Image.TileWidth",
    "Exif.Image.TileLength",
    "Exif.Image.Compression",
    "Exif.Image.PhotometricInterpretation",
    "Exif.Image.SamplesPerPixel",
    "Exif.Image.PlanarConfiguration",
    "Exif.Image.BitsPerSample",
    "Exif.Image.JPEGInterchangeFormat",
    "Exif.Image.JPEGInterchangeFormatLength",
    "Exif.Image.SubIFDs",
};

void eraseKey(Exiv2::ExifData &exif, const char *key)
{
    const auto found = exif.findKey(Exiv2::ExifKey(key));
    if (found != exif.end())
        exif.erase(found);
}

template <typename Value> void updateKey(Exiv2::ExifData &exif, const char *key, const Value &value)
{
    if (exif.findKey(Exiv2::ExifKey(key)) != exif.end())
        exif[key] = value;
}

void updateKey(Exiv2::XmpData &xmp, const char *key, const std::string &value)
{
    if (xmp.findKey(Exiv2::XmpKey(key)) != xmp.end())
        xmp[key] = value;
}

void describeResult(Exiv2::ExifData &exif, Exiv2::XmpData &xmp, QSize size)
{
    const auto width = uint32_t(size.width());
    const auto height = uint32_t(size.height());
    if (!exif.empty()) {
        Exiv2::ExifThumb(exif).erase();
        for (const char *key : kSourceStructure)
            eraseKey(exif, key);
        updateKey(exif, "Exif.Image.Orientation", uint16_t(1));
        updateKey(exif, "Exif.Image.ImageWidth", width);
        updateKey(exif, "Exif.Image.ImageLength", height);
        exif["Exif.Photo.PixelXDimension"] = width;
        exif["Exif.Photo.PixelYDimension"] = height;
    }
    updateKey(xmp, "Xmp.tiff.Orientation", "1");
    updateKey(xmp, "Xmp.tiff.ImageWidth", std::to_string(width));
    updateKey(xmp, "Xmp.tiff.ImageLength", std::to_string(height));
    updateKey(xmp, "Xmp.exif.PixelXDimension", std::to_string(width));
    updateKey(xmp, "Xmp.exif.PixelYDimension", std::to_string(height));
    for (auto item = xmp.begin(); item != xmp.end();) {
        if (item->key().rfind("Xmp.xmp.Thumbnails", 0) == 0)
            item = xmp.erase(item);
        else
            ++item;
    }
}

// What exiv2 found nothing of in a HEIF, HEIC or AVIF, as libheif reads it; unchanged for any other file.
void fromHeif(const QString &source, Exiv2::ExifData &exif, Exiv2::XmpData &xmp)
{
    const imageformats::EmbeddedMetadata found = imageformats::heifMetadata(source);
    try {
        if (!found.exif.isEmpty())
            Exiv2::ExifParser::decode(exif, reinterpret_cast<const Exiv2::byte *>(found.exif.constData()),
                                      uint32_t(found.exif.size()));
    } catch (const Exiv2::AnyError &) {
        exif.clear();
    }
    if (!found.xmp.isEmpty() && Exiv2::XmpParser::decode(xmp, found.xmp.toStdString()) != 0)
        xmp.clear();
}

} // namespace

QString copyMetadata(const QString &source, const QString &target, QSize size, bool *sourceProblem)
{
    setUpOnce();
    if (sourceProblem)
        *sourceProblem = true;
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;
    try {
        const auto from = Exiv2::ImageFactory::open(nativePath(source));
        from->readMetadata();
        exif = from->exifData();
        xmp = from->xmpData();
        iptc = from->iptcData();
    } catch (const Exiv2::AnyError &error) {
        // A format the library does not know holds nothing it could copy.
        if (error.code() == Exiv2::kerFileContainsUnknownImageType)
            return {};
        return QString::fromLocal8Bit(error.what());
    }
    if (exif.empty() && xmp.empty())
        fromHeif(source, exif, xmp);
    if (exif.empty() && xmp.empty() && iptc.empty())
        return {};
    describeResult(exif, xmp, size);

    if (sourceProblem)
        *sourceProblem = false;
    try {
        const auto to = Exiv2::ImageFactory::open(nativePath(target));
        to->readMetadata();
        // WebP has no place for IPTC: its captions, keywords and credits go into XMP, where the IPTC
        // standard itself maps them.
        if (!iptc.empty() && to->imageType() == Exiv2::ImageType::webp)
            Exiv2::copyIptcToXmp(iptc, xmp);
        to->setExifData(exif);
        to->setXmpData(xmp);
        to->setIptcData(iptc);
        to->writeMetadata();
    } catch (const Exiv2::AnyError &error) {
        return QString::fromLocal8Bit(error.what());
    }
    return {};
}

QString writeXmpMark(const QString &target, const QString &mark)
{
    setUpOnce();
    try {
        const auto image = Exiv2::ImageFactory::open(nativePath(target));
        image->readMetadata();
        Exiv2::XmpData xmp = image->xmpData();
        xmp[kMarkKey] = mark.toStdString();
        image->setXmpData(xmp);
        image->writeMetadata();
    } catch (const Exiv2::AnyError &error) {
        return QString::fromLocal8Bit(error.what());
    }
    return {};
}

QString readXmpMark(const QString &path)
{
    setUpOnce();
    try {
        const auto image = Exiv2::ImageFactory::open(nativePath(path));
        image->readMetadata();
        const Exiv2::XmpData &xmp = image->xmpData();
        const auto found = xmp.findKey(Exiv2::XmpKey(kMarkKey));
        return found == xmp.end() ? QString() : QString::fromStdString(found->toString());
    } catch (const Exiv2::AnyError &) {
        return {};
    }
}

} // namespace engine
