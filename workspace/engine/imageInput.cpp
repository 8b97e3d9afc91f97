#include "workspace/engine/imageInput.h"

#include "workspace/engine/metadata.h"

#include "base/platform/platform.h"

#include <QColorSpace>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMap>
#include <QTransform>

namespace engine {

namespace {

// Mapped, not read: the check walks the file once without a second copy of it in memory. A pipe
// (opening it again would wait for a writer that is gone) or anything else that cannot be mapped is
// taken as complete.
bool fileComplete(const QString &path, const QByteArray &format)
{
    if (!QFileInfo(path).isFile())
        return true;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() <= 0)
        return true;
    const uchar *data = file.map(0, file.size());
    if (!data)
        return true;
    return encodedDataComplete(format, data, file.size());
}

bool beyondAllocationLimit(const QSize &declared)
{
    const int limitMb = QImageReader::allocationLimit();
    return limitMb > 0 && declared.isValid() &&
           qint64(declared.width()) * declared.height() * 4 > qint64(limitMb) * 1024 * 1024;
}

InputProblem whyNotDecoded(const QString &path, QImageReader::ImageReaderError error)
{
    const QFileInfo info(path);
    if (!info.exists())
        return InputProblem::Missing;
    if (!info.isReadable())
        return InputProblem::NoPermission;
    if (error == QImageReader::UnsupportedFormatError)
        return InputProblem::NotAnImage;
    if (info.isFile() && beyondAllocationLimit(QImageReader(path).size()))
        return InputProblem::TooLarge;
    return InputProblem::Damaged;
}

// Qt's decoders give grey with alpha as colour with alpha; the header still says what was stored.
bool storedAsGrey(const QString &path, const QByteArray &format)
{
    if (format != "png")
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && pngStoresGrey(file.read(26));
}

// Why a picture cannot be decoded and enlarged, from the size its header declares; empty when it
// can, or when it declares none (its decoder then finds out).
QString tooLargeFromHeader(const QImageReader &reader, int scale)
{
    const QSize declared = reader.size();
    if (!declared.isValid())
        return QString();
    const QImage::Format format = reader.imageFormat();
    const int bytesPerPixel =
        format == QImage::Format_Invalid ? 4 : qMax(1, QImage::toPixelFormat(format).bitsPerPixel() / 8);
    const bool deep = bytesPerPixel > 4;
    if (const int limitMb = QImageReader::allocationLimit();
        limitMb > 0 && qint64(declared.width()) * declared.height() * bytesPerPixel > qint64(limitMb) << 20)
        return tooLargeDetail(declared, limitMb);
    const qint64 needed = memoryToEnlarge(declared, bytesPerPixel, scale, deep);
    const quint64 available = Platform::availablePhysicalMemory();
    if (available > 0 && quint64(needed) > available)
        return memoryShortDetail(needed, available);
    return QString();
}

// The orientation the file states, applied as QImageReader's own automatic turn would, but keeping
// what the turn would drop: the colour space (lost on a quarter turn), the text and the resolution.
QImage oriented(QImage image, QImageIOHandler::Transformations turn)
{
    if (turn == QImageIOHandler::TransformationNone || image.isNull())
        return image;
    const QColorSpace space = image.colorSpace();
    const bool quarter = turn & QImageIOHandler::TransformationRotate90;
    const int dotsX = quarter ? image.dotsPerMeterY() : image.dotsPerMeterX();
    const int dotsY = quarter ? image.dotsPerMeterX() : image.dotsPerMeterY();
    QMap<QString, QString> text;
    for (const QString &key : image.textKeys())
        text.insert(key, image.text(key));
    // Mirrors first, then the quarter turn: how the handler's flags combine (Rotate270 is all three).
    QImage result = image.mirrored(turn & QImageIOHandler::TransformationMirror,
                                   turn & QImageIOHandler::TransformationFlip);
    if (quarter)
        result = result.transformed(QTransform().rotate(90));
    if (result.isNull())
        return result;
    result.setColorSpace(space);
    result.setDotsPerMeterX(dotsX);
    result.setDotsPerMeterY(dotsY);
    for (auto entry = text.cbegin(); entry != text.cend(); ++entry)
        result.setText(entry.key(), entry.value());
    return result;
}

bool isHeif(const QByteArray &format)
{
    return format == "heif" || format == "heic" || format == "avif";
}

bool mayHoldFrames(const QByteArray &format)
{
    return format == "gif" || format == "tiff" || format == "webp" || isHeif(format);
}

QString framesNote(const QImageReader &reader, const QByteArray &format, int count)
{
    // A HEIF names one of its pictures the primary one, which need not be the first.
    if (isHeif(format))
        return QStringLiteral("only the primary one of its %1 pictures was enlarged").arg(count);
    return reader.supportsAnimation()
               ? QStringLiteral("only the first of its %1 frames was enlarged").arg(count)
               : QStringLiteral("only the first of its %1 pages was enlarged").arg(count);
}

// Dots per inch from a resolution and its unit: 1 inch, 2 centimetre, 3 metre; none for no unit
// (an aspect ratio only) or nonsense.
std::optional<QSizeF> inches(double x, double y, int unit)
{
    const double factor = unit == 1 ? 1.0 : unit == 2 ? 2.54 : unit == 3 ? 0.0254 : 0.0;
    if (factor == 0.0 || !(x > 0 && y > 0) || x * factor > 1e6 || y * factor > 1e6)
        return std::nullopt;
    return QSizeF(x * factor, y * factor);
}

quint32 bigEndian(const QByteArray &bytes, qsizetype at, int length)
{
    quint32 value = 0;
    for (int i = 0; i < length; ++i)
        value = value << 8 | uchar(bytes.at(at + i));
    return value;
}

// A PNG's pHYs chunk, which comes before the pixel data.
std::optional<QSizeF> pngResolution(QFile &file)
{
    file.seek(8);
    while (true) {
        const QByteArray head = file.read(8);
        if (head.size() < 8)
            return std::nullopt;
        const quint32 length = bigEndian(head, 0, 4);
        const QByteArray type = head.mid(4, 4);
        if (type == "IDAT" || type == "IEND")
            return std::nullopt;
        if (type == "pHYs" && length == 9) {
            const QByteArray body = file.read(9);
            if (body.size() < 9)
                return std::nullopt;
            return inches(bigEndian(body, 0, 4), bigEndian(body, 4, 4), uchar(body.at(8)) == 1 ? 3 : 0);
        }
        if (!file.seek(file.pos() + qint64(length) + 4))
            return std::nullopt;
    }
}

// A JPEG's JFIF density, from the APP0 segment that opens the file.
std::optional<QSizeF> jfifResolution(const QByteArray &head)
{
    if (head.size() < 18 || head.mid(6, 5) != QByteArray("JFIF\0", 5))
        return std::nullopt;
    const int unit = uchar(head.at(13));
    return inches(bigEndian(head, 14, 2), bigEndian(head, 16, 2), unit == 1 ? 1 : unit == 2 ? 2 : 0);
}

// Whether a JPEG embeds an ICC profile (an APP2 segment "ICC_PROFILE"), from the segments before
// its picture data.
bool jpegCarriesProfile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(1 << 16).contains(QByteArrayLiteral("ICC_PROFILE\0"));
}

} // namespace

std::optional<QSizeF> sourceResolution(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(32);
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        return pngResolution(file);
    if (head.startsWith("\xff\xd8\xff\xe0"))
        if (const std::optional<QSizeF> jfif = jfifResolution(head))
            return jfif;
    file.close();
    const std::optional<ExifResolution> exif = exifResolution(path);
    if (!exif)
        return std::nullopt;
    // The unit's default is the inch (TIFF 6.0).
    return inches(exif->x, exif->y, exif->unit == 3 ? 2 : exif->unit == 1 ? 0 : 1);
}

bool pngStoresGrey(const QByteArray &head)
{
    // Signature (8), IHDR length and type (8), width, height (8), bit depth, colour type.
    if (head.size() < 26 || !head.startsWith("\x89PNG\r\n\x1a\n") || head.mid(12, 4) != "IHDR")
        return false;
    const int colourType = uchar(head.at(25));
    return colourType == 0 || colourType == 4;
}

namespace {

// The EXIF orientation (1 to 8) of the turn a reader applies.
int exifOrientation(QImageIOHandler::Transformations turn)
{
    using T = QImageIOHandler::Transformation;
    const T byOrientation[] = {T::TransformationNone,
                               T::TransformationMirror,
                               T::TransformationRotate180,
                               T::TransformationFlip,
                               T::TransformationFlipAndRotate90,
                               T::TransformationRotate90,
                               T::TransformationMirrorAndRotate90,
                               T::TransformationRotate270};
    for (int i = 0; i < 8; ++i)
        if (turn == QImageIOHandler::Transformations(byOrientation[i]))
            return i + 1;
    return 1;
}

} // namespace

LoadedImage loadInputImage(const QString &path, int scale)
{
    LoadedImage loaded;
    QImageReader reader(path);
    // Asked before reading: a reader that has read to the end may no longer name its format.
    const QByteArray format = reader.format();
    // Counting frames reads ahead and seeks back, and the grey test opens the file again: neither
    // works on a pipe, which is read once, as it comes. Counted first: the TIFF handler counts
    // its pages only from the start of the file.
    const bool regular = QFileInfo(path).isFile();
    const int frames = regular && mayHoldFrames(format) ? reader.imageCount() : 1;
    // A few bytes of header that declare a vast picture must not cost the time and memory of
    // decoding it before the batch learns that it cannot be enlarged.
    if (const QString tooLarge = tooLargeFromHeader(reader, scale); !tooLarge.isEmpty()) {
        loaded.problem = InputProblem::TooLarge;
        loaded.error = describe(loaded.problem) + tooLarge;
        return loaded;
    }
    const QImageIOHandler::Transformations turn = reader.transformation();
    loaded.image = oriented(reader.read(), turn);
    if (loaded.image.isNull())
        loaded.problem = whyNotDecoded(path, reader.error());
    else if (!fileComplete(path, format))
        loaded.problem = InputProblem::PartlyDecoded;
    if (loaded.problem != InputProblem::None) {
        loaded.image = QImage();
        loaded.error = describe(loaded.problem);
        if (loaded.problem == InputProblem::TooLarge)
            loaded.error += tooLargeDetail(QImageReader(path).size(), QImageReader::allocationLimit());
        return loaded;
    }
    static_cast<Picture &>(loaded) =
        Picture::decoded(std::move(loaded.image), regular && storedAsGrey(path, format));
    loaded.orientation = exifOrientation(turn);
    if (regular) {
        loaded.dpi = sourceResolution(path);
        loaded.metadataSource = path;
    }
    if (loaded.dpi && (turn & QImageIOHandler::TransformationRotate90))
        loaded.dpi = loaded.dpi->transposed();
    if (frames > 1)
        loaded.note = framesNote(reader, format, frames);
    // Qt reads no CMYK profile: such a JPEG's colours come out converted without it, and the result
    // has no profile. The user is told rather than left to find out in print.
    if (regular && format == "jpeg" && !loaded.image.colorSpace().isValid() && jpegCarriesProfile(path)) {
        const QString lost = QStringLiteral("its colour profile could not be read (CMYK profiles are not): "
                                            "the colours were converted without it");
        loaded.note = loaded.note.isEmpty() ? lost : loaded.note + QStringLiteral("; ") + lost;
    }
    return loaded;
}

} // namespace engine
