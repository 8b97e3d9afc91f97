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
        // HEIF, AVIF and JPEG XL (ISO base media files) sources, and the marks of AVIF and JPEG XL
        // results: built in, but off until asked for.
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
    // The result's encoder writes the profile of its own pixels.
    "Exif.Image.InterColorProfile",
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

// The result's resolution, the same in its EXIF and XMP as in its own fields; none stays none. A
// format without a field of its own (onlyPlace) gets EXIF for it even where the source had none.
void describeResolution(Exiv2::ExifData &exif, Exiv2::XmpData &xmp, const std::optional<QSizeF> &dpi,
                        bool onlyPlace)
{
    const char *const exifKeys[] = {"Exif.Image.XResolution", "Exif.Image.YResolution",
                                    "Exif.Image.ResolutionUnit"};
    const char *const xmpKeys[] = {"Xmp.tiff.XResolution", "Xmp.tiff.YResolution", "Xmp.tiff.ResolutionUnit"};
    if (!dpi) {
        for (const char *key : exifKeys)
            eraseKey(exif, key);
        for (const char *key : xmpKeys) {
            const auto found = xmp.findKey(Exiv2::XmpKey(key));
            if (found != xmp.end())
                xmp.erase(found);
        }
        return;
    }
    // Hundredths of a dot: enough for any resolution a file states.
    const auto rational = [](double value) {
        return Exiv2::URational(uint32_t(value * 100 + 0.5), 100);
    };
    const auto text = [](double value) {
        return std::to_string(uint32_t(value * 100 + 0.5)) + "/100";
    };
    if (!exif.empty() || onlyPlace) {
        exif["Exif.Image.XResolution"] = rational(dpi->width());
        exif["Exif.Image.YResolution"] = rational(dpi->height());
        exif["Exif.Image.ResolutionUnit"] = uint16_t(2);
    }
    updateKey(xmp, "Xmp.tiff.XResolution", text(dpi->width()));
    updateKey(xmp, "Xmp.tiff.YResolution", text(dpi->height()));
    updateKey(xmp, "Xmp.tiff.ResolutionUnit", "2");
}

void describeResult(Exiv2::ExifData &exif, Exiv2::XmpData &xmp, QSize size, const std::optional<QSizeF> &dpi,
                    bool resolutionOnlyInExif = false)
{
    describeResolution(exif, xmp, dpi, resolutionOnlyInExif);
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

namespace {

struct SourceMetadata {
    Exiv2::ExifData exif;
    Exiv2::XmpData xmp;
    Exiv2::IptcData iptc;
    bool empty() const { return exif.empty() && xmp.empty() && iptc.empty(); }
};

// The source's metadata; empty when it has none or the library does not know its format,
// SourceUnreadable when it cannot be read.
Problem readSource(const QString &source, SourceMetadata &metadata)
{
    try {
        const auto from = Exiv2::ImageFactory::open(nativePath(source));
        from->readMetadata();
        metadata.exif = from->exifData();
        metadata.xmp = from->xmpData();
        metadata.iptc = from->iptcData();
    } catch (const Exiv2::AnyError &error) {
        // A format the library does not know holds nothing it could copy.
        if (error.code() == Exiv2::kerFileContainsUnknownImageType)
            return {};
        return {Problem::Code::SourceUnreadable, QString::fromLocal8Bit(error.what())};
    }
    // Where exiv2 finds nothing in a HEIF (as in the files heif-enc makes), libheif may.
    if (metadata.exif.empty() && metadata.xmp.empty())
        fromHeif(source, metadata.exif, metadata.xmp);
    return {};
}

} // namespace

Problem copyMetadata(const QString &source, const QString &target, QSize size,
                     const std::optional<QSizeF> &dpi)
{
    setUpOnce();
    SourceMetadata metadata;
    if (Problem problem = readSource(source, metadata))
        return problem;
    if (metadata.empty())
        return {};
    describeResult(metadata.exif, metadata.xmp, size, dpi);

    try {
        const auto to = Exiv2::ImageFactory::open(nativePath(target));
        to->readMetadata();
        // WebP has no place for IPTC: its captions, keywords and credits go into XMP, where the IPTC
        // standard itself maps them.
        if (!metadata.iptc.empty() && to->imageType() == Exiv2::ImageType::webp)
            Exiv2::copyIptcToXmp(metadata.iptc, metadata.xmp);
        to->setExifData(metadata.exif);
        to->setXmpData(metadata.xmp);
        to->setIptcData(metadata.iptc);
        to->writeMetadata();
    } catch (const Exiv2::AnyError &error) {
        return {Problem::Code::CannotWrite, QString::fromLocal8Bit(error.what())};
    }
    return {};
}

Problem encodedMetadata(const QString &source, QSize size, const std::optional<QSizeF> &dpi,
                        const QString &mark, EncodedMetadata &encoded)
{
    setUpOnce();
    SourceMetadata metadata;
    const Problem problem = source.isEmpty() ? Problem() : readSource(source, metadata);
    // JPEG XL and AVIF have no resolution field: their EXIF is the only place for it.
    describeResult(metadata.exif, metadata.xmp, size, dpi, true);
    try {
        if (!metadata.iptc.empty())
            Exiv2::copyIptcToXmp(metadata.iptc, metadata.xmp);
        if (!metadata.exif.empty()) {
            Exiv2::Blob blob;
            Exiv2::ExifParser::encode(blob, Exiv2::littleEndian, metadata.exif);
            encoded.exif = QByteArray(reinterpret_cast<const char *>(blob.data()), qsizetype(blob.size()));
        }
        if (!mark.isEmpty())
            metadata.xmp[kMarkKey] = mark.toStdString();
        if (!metadata.xmp.empty()) {
            std::string packet;
            if (Exiv2::XmpParser::encode(packet, metadata.xmp, Exiv2::XmpParser::omitPacketWrapper) == 0)
                encoded.xmp = QByteArray::fromStdString(packet);
        }
    } catch (const Exiv2::AnyError &error) {
        return {Problem::Code::CannotWrite, QString::fromLocal8Bit(error.what())};
    }
    return problem;
}

std::optional<ExifResolution> exifResolution(const QString &path)
{
    setUpOnce();
    try {
        const auto image = Exiv2::ImageFactory::open(nativePath(path));
        image->readMetadata();
        const Exiv2::ExifData &exif = image->exifData();
        const auto x = exif.findKey(Exiv2::ExifKey("Exif.Image.XResolution"));
        const auto y = exif.findKey(Exiv2::ExifKey("Exif.Image.YResolution"));
        if (x == exif.end() || y == exif.end() || x->count() == 0 || y->count() == 0)
            return std::nullopt;
        ExifResolution resolution;
        resolution.x = double(x->toFloat());
        resolution.y = double(y->toFloat());
        const auto unit = exif.findKey(Exiv2::ExifKey("Exif.Image.ResolutionUnit"));
        if (unit != exif.end() && unit->count() > 0)
            resolution.unit = int(unit->toLong());
        return resolution;
    } catch (const Exiv2::AnyError &) {
        return std::nullopt;
    }
}

Problem writeXmpMark(const QString &target, const QString &mark)
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
        return {Problem::Code::CannotWrite, QString::fromLocal8Bit(error.what())};
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
