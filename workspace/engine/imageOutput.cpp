#include "workspace/engine/imageOutput.h"

#include "base/nativeName.h"

#include "workspace/engine/fileProblems.h"
#include "workspace/engine/formatOutput.h"
#include "workspace/engine/metadata.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/partFile.h"
#include "workspace/engine/pictureDepth.h"
#include "workspace/engine/pngOutput.h"
#include "workspace/engine/resultMark.h"
#include "workspace/engine/transparency.h"

#include <QBuffer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QRandomGenerator>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace engine {

QString OutputFormat::suffix() const
{
    switch (kind) {
    case Kind::Jpeg:
        return QStringLiteral("jpg");
    case Kind::Webp:
        return QStringLiteral("webp");
    case Kind::Tiff:
        return QStringLiteral("tif");
    case Kind::Jxl:
        return QStringLiteral("jxl");
    case Kind::Avif:
        return QStringLiteral("avif");
    case Kind::Png:
        break;
    }
    return QStringLiteral("png");
}

bool OutputFormat::takesQuality() const
{
    return kind != Kind::Png && kind != Kind::Tiff;
}

QList<OutputFormat> OutputFormat::offered()
{
    QList<OutputFormat> formats;
    for (Kind kind : {Kind::Png, Kind::Jpeg, Kind::Webp, Kind::Tiff, Kind::Jxl, Kind::Avif}) {
        OutputFormat format;
        format.kind = kind;
        formats << format;
    }
    return formats;
}

std::optional<OutputFormat> OutputFormat::named(const QString &name, int quality)
{
    const QString lower = name.toLower();
    OutputFormat format;
    format.quality = quality;
    if (lower == QLatin1String("png"))
        format.kind = Kind::Png;
    else if (lower == QLatin1String("jpg") || lower == QLatin1String("jpeg"))
        format.kind = Kind::Jpeg;
    else if (lower == QLatin1String("webp"))
        format.kind = Kind::Webp;
    else if (lower == QLatin1String("tif") || lower == QLatin1String("tiff"))
        format.kind = Kind::Tiff;
    else if (lower == QLatin1String("jxl"))
        format.kind = Kind::Jxl;
    else if (lower == QLatin1String("avif"))
        format.kind = Kind::Avif;
    else
        return std::nullopt;
    return format;
}

namespace {

// One more thing the user should know about a written picture.
void addNote(QString &notes, const QString &note)
{
    if (!note.isEmpty() && !notes.contains(note))
        notes = notes.isEmpty() ? note : notes + QStringLiteral("; ") + note;
}

// What an 8-bit lossy format can hold of the picture.
QImage lossyPicture(const Picture &picture, OutputFormat::Kind kind)
{
    const QImage &image = picture.image;
    const bool alpha = picture.hasAlpha();
    if (kind == OutputFormat::Kind::Jpeg && alpha) {
        const QImage flat = flattenOnWhite(image);
        return picture.isGrey() ? lumaOf(flat) : flat;
    }
    if (!picture.isDeep())
        return image;
    if (image.format() == QImage::Format_Grayscale16)
        return image.convertToFormat(QImage::Format_Grayscale8);
    return image.convertToFormat(alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888);
}

// The resolution the result states.
std::optional<QSizeF> resolutionOf(const PictureToWrite &picture)
{
    if (picture.format.dpi)
        return QSizeF(*picture.format.dpi, *picture.format.dpi);
    return picture.result.dpi;
}

// Whether the encoder itself embeds the metadata and the mark (libexiv2 cannot write these formats).
bool embedsMetadata(OutputFormat::Kind kind)
{
    return kind == OutputFormat::Kind::Jxl || kind == OutputFormat::Kind::Avif;
}

// A JFIF header that states an aspect ratio only (unit 0, density 1:1), where Qt's writer put its
// 96 dots per inch: bytes 13 to 17 of the file, after the APP0 marker, its length and "JFIF\0".
void clearJfifDensity(QByteArray &jpeg)
{
    if (jpeg.size() < 18 || !jpeg.startsWith("\xff\xd8\xff\xe0") || jpeg.mid(6, 5) != QByteArray("JFIF\0", 5))
        return;
    const char aspectOnly[] = {0, 0, 1, 0, 1};
    jpeg.replace(13, 5, aspectOnly, 5);
}

Problem encodeWithQt(const PictureToWrite &picture, QFile &part)
{
    if (picture.progress)
        picture.progress(0);
    QImage pixels = lossyPicture(picture.result, picture.format.kind);
    if (pixels.isNull())
        return {Problem::Code::CannotWrite, QStringLiteral("no memory to prepare the picture")};
    const std::optional<QSizeF> dpi = resolutionOf(picture);
    if (dpi) {
        pixels.setDotsPerMeterX(int(std::lround(dpi->width() / 0.0254)));
        pixels.setDotsPerMeterY(int(std::lround(dpi->height() / 0.0254)));
    }
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    const bool jpeg = picture.format.kind == OutputFormat::Kind::Jpeg;
    QImageWriter writer(&buffer, jpeg ? "jpeg" : "webp");
    writer.setQuality(picture.format.quality);
    if (!writer.write(pixels))
        return {Problem::Code::CannotWrite, writer.errorString()};
    if (jpeg && !dpi)
        clearJfifDensity(encoded);
    if (part.write(encoded) != encoded.size())
        return {Problem::Code::CannotWrite, part.errorString()};
    if (picture.progress)
        picture.progress(100);
    return {};
}

Problem encode(const PictureToWrite &picture, QFile &part, QString *note)
{
    const OutputFormat::Kind kind = picture.format.kind;
    if (kind == OutputFormat::Kind::Png)
        return encodePng(picture.result, &part, picture.progress, {}, note, resolutionOf(picture));
    if (kind == OutputFormat::Kind::Jpeg || kind == OutputFormat::Kind::Webp)
        return encodeWithQt(picture, part);
    Encoding encoding;
    encoding.picture = picture.result;
    encoding.dpi = resolutionOf(picture);
    encoding.quality = picture.format.quality;
    encoding.progress = picture.progress;
    if (kind == OutputFormat::Kind::Tiff)
        return encodeTiff(encoding, &part);
    const QString &from = picture.result.metadataSource;
    const QString source =
        NativeName::kindOf(from) == NativeName::Kind::File ? NativeName::reachable(from) : QString();
    const Problem problem = encodedMetadata(source, picture.result.image.size(), encoding.dpi,
                                            resultMarkOf(picture.result.image), encoding.metadata);
    if (problem && note)
        *note = QStringLiteral("its metadata could not be copied: ") + problem.words();
    return kind == OutputFormat::Kind::Jxl ? encodeJxl(encoding, &part) : encodeAvif(encoding, &part);
}

void failWrite(WriteResult &result, int systemError, const QString &systemText)
{
    result.error = writeFailureReason(systemError, systemText);
    result.transient = diskFull(systemError);
}

// Encodes the picture into the open part file and closes it; false with the reason in result.
bool encodePart(const PictureToWrite &picture, QFile &part, WriteResult &result)
{
    // errno is read right after each failing call: it names the cause the user can act on.
    QString encodeNote;
    errno = 0;
    const Problem encoding = encode(picture, part, &encodeNote);
    const bool written = !encoding && part.flush();
    int systemError = errno;
    const QString writeError = part.error() != QFileDevice::NoError ? part.errorString() : encoding.words();
    part.close();
    if (systemError == 0)
        systemError = errno;
    if (!written || part.error() != QFileDevice::NoError) {
        failWrite(result, systemError, writeError);
        return false;
    }
    addNote(result.note, encodeNote);
    return true;
}

// The picture, complete with its metadata, under a hidden name; false with the reason in result.
bool writePart(const PictureToWrite &picture, QFile &part, PartFile &partFile, WriteResult &result)
{
    if (const int systemError = partFile.create(part, picture.folder, picture.format.suffix());
        systemError != 0) {
        failWrite(result, systemError, part.errorString());
        return false;
    }
    if (!encodePart(picture, part, result)) {
        part.remove();
        return false;
    }
    if (NativeName::kindOf(picture.result.metadataSource) != NativeName::Kind::File ||
        embedsMetadata(picture.format.kind))
        return true;

    const Problem problem = copyMetadata(NativeName::reachable(picture.result.metadataSource),
                                         part.fileName(), picture.result.image.size(), resolutionOf(picture));
    if (!problem)
        return true;
    addNote(result.note, QStringLiteral("its metadata could not be copied: ") + problem.words());
    if (problem.code() == Problem::Code::SourceUnreadable)
        return true;
    // The rewrite may have stopped half-way: the picture is encoded again, without metadata.
    errno = 0;
    if (!part.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        failWrite(result, errno, part.errorString());
        part.remove();
        return false;
    }
    if (!encodePart(picture, part, result)) {
        part.remove();
        return false;
    }
    return true;
}

} // namespace

WriteResult writeNewPicture(const PictureToWrite &picture)
{
    WriteResult result;
    if (picture.result.image.isNull()) {
        result.error = QStringLiteral("no image to write");
        return result;
    }
    if (!QFileInfo(picture.folder).isDir()) {
        failWrite(result, ENOENT, QString());
        return result;
    }
    QFile part;
    PartFile partFile;
    if (!writePart(picture, part, partFile, result))
        return result;
    if (picture.format.kind != OutputFormat::Kind::Png && !embedsMetadata(picture.format.kind)) {
        // Without its mark a later folder walk would take the result for a photo.
        if (const Problem why = carryMarkInto(picture.result.image, part.fileName()))
            qDebug() << "result mark not written:" << why.words();
    }

    // A bound keeps a folder that refuses every name from spinning for ever.
    constexpr int kMaxCandidates = 100000;
    const QString suffix = picture.format.suffix();
    for (int k = 1; k <= kMaxCandidates; ++k) {
        const QString candidate = outputCandidate(picture.folder, picture.inputPath, k, suffix);
        // Names come from the input's bytes, which need not be UTF-8 (nativeName.h).
        if (NativeName::exists(candidate))
            continue;
        // Never replaces: a name taken meanwhile (another program, another batch) fails the rename.
        part.close();
        const int renameError = NativeName::renameNoReplace(part.fileName(), candidate);
        if (renameError == 0) {
            result.path = candidate;
            return result;
        }
        if (!NativeName::exists(candidate)) {
            failWrite(result, renameError, QString::fromLocal8Bit(std::strerror(renameError)));
            part.remove();
            return result;
        }
    }
    part.remove();
    result.error =
        QStringLiteral("no free name for %1 in %2").arg(resultStem(picture.inputPath), picture.folder);
    return result;
}

} // namespace engine
