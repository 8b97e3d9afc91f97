// Pictures of every kind a user brings, through a whole batch: the result keeps the depth, the grey,
// the alpha and the metadata of its input; 8-bit colour results are the pixels they always were.
#include "support/pictureMetadata.h"
#include "support/sampleGif.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/imageInput.h"
#include "workspace/engine/pngOutput.h"
#include "workspace/engine/upscaler.h"

#include "imageformats/imageFormats.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <exiv2/exiv2.hpp>

#include <set>

// The library hands out std::auto_ptr.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace {

// Nearest x2 with red raised and blue lowered by 10 of 255: a network that puts colour into grey.
// Pixel by pixel, so tiles and margins cannot change what it gives.
engine::TileInference skewed(const QImage &tile)
{
    QImage out = tile.scaled(tile.size() * 2).convertToFormat(tile.format());
    const bool wide = out.depth() == 64;
    for (int y = 0; y < out.height(); ++y) {
        if (wide) {
            auto *p = reinterpret_cast<quint16 *>(out.scanLine(y));
            for (int x = 0; x < out.width(); ++x) {
                p[4 * x] = quint16(qMin(65535, p[4 * x] + 2570));
                p[4 * x + 2] = quint16(qMax(0, p[4 * x + 2] - 2570));
            }
        } else {
            uchar *p = out.scanLine(y);
            for (int x = 0; x < out.width(); ++x) {
                p[3 * x] = uchar(qMin(255, p[3 * x] + 10));
                p[3 * x + 2] = uchar(qMax(0, p[3 * x + 2] - 10));
            }
        }
    }
    return engine::TileInference::ok(out);
}

// Alpha levels of the pattern, in blocks of 8x8 that smooth scaling leaves whole inside. The second
// is one that 8 bits cannot hold.
constexpr quint16 alphaLevel(int x, int y)
{
    return quint16(65535 - ((x / 8 + y / 8) % 5) * 9001);
}

// Every channel uses the full 16 bits, so a value that went through 8 bits shows.
QImage pattern(QImage::Format format, QSize size = {40, 24})
{
    QImage image(size, format);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixelColor(x, y,
                                QColor::fromRgba64(quint16(x * 1601 + y * 37), quint16(y * 4099 + x * 11),
                                                   quint16((x ^ y) * 2053), alphaLevel(x, y)));
    return image;
}

// A gradient of 960 values a channel, 68 of 65535 apart: more levels than 8 bits hold, fewer than 10.
QImage gradient()
{
    QImage image(40, 24, QImage::Format_RGBA64);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int along = (y * 40 + x) * 68;
            const int across = (x * 24 + y) * 68;
            image.setPixelColor(x, y,
                                QColor::fromRgba64(quint16(along), quint16(65535 - along), quint16(across),
                                                   alphaLevel(x, y)));
        }
    return image;
}

QImage greyPattern(QImage::Format format)
{
    QImage colour = pattern(QImage::Format_RGBA64);
    QImage grey(colour.size(), format);
    for (int y = 0; y < grey.height(); ++y)
        for (int x = 0; x < grey.width(); ++x) {
            const QRgba64 c = colour.pixelColor(x, y).rgba64();
            grey.setPixelColor(x, y, QColor::fromRgba64(c.red(), c.red(), c.red(), c.alpha()));
        }
    return grey;
}

QByteArray encoded(const QImage &image, const char *format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    return image.save(&buffer, format, quality) ? bytes : QByteArray();
}

// Grey with alpha, which Qt's own writer cannot store; 8 or 16 bits as the format has them.
QByteArray greyAlphaPng(QImage::Format format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    return !engine::encodePng(greyPattern(format), true, &buffer) ? bytes : QByteArray();
}

// A camera's JPEG: turned by the orientation tag, with its camera tags, a thumbnail, XMP and IPTC.
QByteArray cameraJpeg()
{
    QImage stored = pattern(QImage::Format_RGB888, {16, 8});
    const QByteArray jpeg = encoded(stored, "JPEG", 95);
    const QByteArray thumbnail = encoded(stored.scaled(8, 4), "JPEG");
    auto image =
        Exiv2::ImageFactory::open(reinterpret_cast<const Exiv2::byte *>(jpeg.constData()), long(jpeg.size()));
    Exiv2::ExifData &exif = image->exifData();
    exif["Exif.Image.Make"] = "Corvane";
    exif["Exif.Image.Model"] = "Pelmora One";
    exif["Exif.Image.Orientation"] = uint16_t(6);
    exif["Exif.Photo.DateTimeOriginal"] = "2024:05:01 10:00:00";
    exif["Exif.Photo.ExposureTime"] = Exiv2::Rational(1, 250);
    exif["Exif.Photo.LensModel"] = "50mm F1.8";
    exif["Exif.Photo.PixelXDimension"] = uint32_t(16);
    exif["Exif.Photo.PixelYDimension"] = uint32_t(8);
    Exiv2::ExifThumb(exif).setJpegThumbnail(reinterpret_cast<const Exiv2::byte *>(thumbnail.constData()),
                                            long(thumbnail.size()));
    image->xmpData()["Xmp.dc.creator"] = "Ada";
    image->xmpData()["Xmp.tiff.Orientation"] = "6";
    image->iptcData()["Iptc.Application2.Caption"] = "A pattern";
    image->writeMetadata();
    Exiv2::BasicIo &io = image->io();
    io.seek(0, Exiv2::BasicIo::beg);
    const Exiv2::DataBuf all = io.read(long(io.size()));
    return QByteArray(reinterpret_cast<const char *>(all.pData_), int(all.size_));
}

// Encoded by a format library's own tool (heif-enc, avifenc, cjxl) from `source`, a file of a kind
// the tool reads; empty where the tool is missing or failed (the row then skips). In `arguments`,
// "IN" and "OUT" stand for the files.
QByteArray encodedByTool(const QString &tool, QStringList arguments, const QByteArray &source,
                         const QString &sourceName, const QString &outputName)
{
    if (QStandardPaths::findExecutable(tool).isEmpty())
        return {};
    QTemporaryDir dir;
    QFile in(dir.filePath(sourceName));
    if (!in.open(QIODevice::WriteOnly) || in.write(source) != source.size())
        return {};
    in.close();
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^IN$")), in.fileName());
    arguments.replaceInStrings(QRegularExpression(QStringLiteral("^OUT$")), dir.filePath(outputName));
    QProcess process;
    process.start(tool, arguments);
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return {};
    QFile out(dir.filePath(outputName));
    return out.open(QIODevice::ReadOnly) ? out.readAll() : QByteArray();
}

// The tool a row's input is made with, where Qt cannot write its format.
QString encoderOf(const QString &name)
{
    static const QMap<QString, QString> tools{
        {QStringLiteral("heic"), QStringLiteral("heif-enc")},
        {QStringLiteral("avif"), QStringLiteral("avifenc")},
        {QStringLiteral("jxl"), QStringLiteral("cjxl")},
        {QStringLiteral("cmyk.jpg"), QStringLiteral("convert")},
    };
    return tools.value(name, tools.value(QFileInfo(name).suffix()));
}

// Whether every colour channel takes more than the 256 levels 8 bits have: what a source of 10 or
// 12 bits keeps where its exact values cannot be compared with the pattern's 16.
bool moreThan256Levels(const QImage &image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA64);
    std::set<quint16> levels[3];
    for (int y = 0; y < rgba.height(); ++y) {
        const auto *p = reinterpret_cast<const quint16 *>(rgba.constScanLine(y));
        for (int x = 0; x < rgba.width(); ++x)
            for (int c = 0; c < 3; ++c)
                levels[c].insert(p[4 * x + c]);
    }
    return levels[0].size() > 256 && levels[1].size() > 256 && levels[2].size() > 256;
}

// Whether the colour channels hold values that could not have come from 8 bits (v * 257; the stand-in
// network copies values), and the alpha plane the level that 8 bits cannot hold (blending makes
// values of every kind at the blocks' edges, so only the whole level tells).
bool holdsSixteenBits(const QImage &image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA64);
    bool fine[4] = {false, false, false, !image.hasAlphaChannel()};
    for (int y = 0; y < rgba.height(); ++y) {
        const auto *p = reinterpret_cast<const quint16 *>(rgba.constScanLine(y));
        for (int x = 0; x < rgba.width(); ++x) {
            for (int c = 0; c < 3; ++c)
                fine[c] = fine[c] || p[4 * x + c] % 257 != 0;
            fine[3] = fine[3] || p[4 * x + 3] == alphaLevel(8, 0);
        }
    }
    return fine[0] && fine[1] && fine[2] && fine[3];
}

QByteArray md5OfRgba8888(const QImage &image)
{
    const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
    return QCryptographicHash::hash(QByteArrayView(rgba.constBits(), rgba.sizeInBytes()),
                                    QCryptographicHash::Md5)
        .toHex();
}

} // namespace

class PicturesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { registerImageFormats(); }

    void resultKeepsWhatTheInputIs_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("bits");       // of the result, per channel
        QTest::addColumn<int>("colourType"); // of the result: 0 grey, 2 RGB, 4 grey + alpha, 6 RGBA
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QStringList>("metadata"); // key=value entries the result must hold
        QTest::addColumn<QString>("note");         // what the batch says of the picture
        QTest::addColumn<QByteArray>("pixels");    // MD5 as RGBA8888; 8-bit colour stays as it was

        const QSize doubled(80, 48);
        const QStringList none;
        QTest::newRow("8-bit RGB") << "rgb.png" << encoded(pattern(QImage::Format_RGB888), "PNG") << 8 << 2
                                   << doubled << none << QString()
                                   << QByteArray("5f9dfdeac5c548fa44b180f7ebc44d6e");
        QTest::newRow("8-bit RGBA") << "rgba.png" << encoded(pattern(QImage::Format_ARGB32), "PNG") << 8 << 6
                                    << doubled << none << QString()
                                    << QByteArray("6ee8b97ce51ddeb879b5e82b5f57f3e9");
        QTest::newRow("palette")
            << "palette.png"
            << encoded(pattern(QImage::Format_RGB888).convertToFormat(QImage::Format_Indexed8), "PNG") << 8
            << 2 << doubled << none << QString() << QByteArray("3ae52000676ca92b40949950e0b17e9a");
        QTest::newRow("16-bit RGB") << "rgb16.png" << encoded(pattern(QImage::Format_RGBX64), "PNG") << 16
                                    << 2 << doubled << none << QString() << QByteArray();
        QTest::newRow("16-bit RGB TIFF") << "rgb16.tif" << encoded(pattern(QImage::Format_RGBX64), "TIFF")
                                         << 16 << 2 << doubled << none << QString() << QByteArray();
        QTest::newRow("16-bit RGBA") << "rgba16.png" << encoded(pattern(QImage::Format_RGBA64), "PNG") << 16
                                     << 6 << doubled << none << QString() << QByteArray();
        QTest::newRow("grey") << "grey.png" << encoded(greyPattern(QImage::Format_Grayscale8), "PNG") << 8
                              << 0 << doubled << none << QString() << QByteArray();
        QTest::newRow("16-bit grey") << "grey16.png"
                                     << encoded(greyPattern(QImage::Format_Grayscale16), "PNG") << 16 << 0
                                     << doubled << none << QString() << QByteArray();
        QTest::newRow("grey + alpha") << "greyalpha.png" << greyAlphaPng(QImage::Format_ARGB32) << 8 << 4
                                      << doubled << none << QString() << QByteArray();
        QTest::newRow("16-bit grey + alpha") << "greyalpha16.png" << greyAlphaPng(QImage::Format_RGBA64) << 16
                                             << 4 << doubled << none << QString() << QByteArray();
        QTest::newRow("EXIF-rotated JPEG with camera tags")
            << "camera.jpg" << cameraJpeg() << 8 << 2 << QSize(16, 32)
            << QStringList{"Exif.Image.Make=Corvane",
                           "Exif.Image.Model=Pelmora One",
                           "Exif.Image.Orientation=1",
                           "Exif.Photo.DateTimeOriginal=2024:05:01 10:00:00",
                           "Exif.Photo.ExposureTime=1/250",
                           "Exif.Photo.LensModel=50mm F1.8",
                           "Exif.Photo.PixelXDimension=16",
                           "Exif.Photo.PixelYDimension=32",
                           "Xmp.dc.creator=Ada",
                           "Xmp.tiff.Orientation=1",
                           "Iptc.Application2.Caption=A pattern",
                           "thumbnail=0"}
            << QString() << QByteArray();
        // Formats Qt cannot write, made by their libraries' own encoders. heif-enc keeps the JPEG's
        // EXIF, orientation tag included, and states no turn of the container's own.
        QTest::newRow("EXIF-rotated HEIC")
            << "camera.heic"
            << encodedByTool(QStringLiteral("heif-enc"),
                             {QStringLiteral("-q"), QStringLiteral("95"), QStringLiteral("-o"),
                              QStringLiteral("OUT"), QStringLiteral("IN")},
                             cameraJpeg(), QStringLiteral("camera.jpg"), QStringLiteral("camera.heic"))
            << 8 << 2 << QSize(16, 32)
            << QStringList{"Exif.Image.Make=Corvane", "Exif.Image.Orientation=1",
                           "Exif.Photo.PixelXDimension=16", "Exif.Photo.PixelYDimension=32"}
            << QString() << QByteArray();
        QTest::newRow("10-bit AVIF with alpha")
            << "rgba10.avif"
            << encodedByTool(QStringLiteral("avifenc"),
                             {QStringLiteral("-l"), QStringLiteral("-d"), QStringLiteral("10"),
                              QStringLiteral("IN"), QStringLiteral("OUT")},
                             encoded(gradient(), "PNG"), QStringLiteral("rgba16.png"),
                             QStringLiteral("rgba10.avif"))
            << 16 << 6 << doubled << none << QString() << QByteArray();
        QTest::newRow("16-bit grey JPEG XL")
            << "grey16.jxl"
            << encodedByTool(QStringLiteral("cjxl"),
                             {QStringLiteral("-d"), QStringLiteral("0"), QStringLiteral("--quiet"),
                              QStringLiteral("IN"), QStringLiteral("OUT")},
                             encoded(greyPattern(QImage::Format_Grayscale16), "PNG"),
                             QStringLiteral("grey16.png"), QStringLiteral("grey16.jxl"))
            << 16 << 0 << doubled << none << QString() << QByteArray();
        // The container's quarter turn wins over the tag's: turned twice it would lie on its side.
        QTest::newRow("AVIF turned by its container and its tag")
            << "turned.avif"
            << encodedByTool(QStringLiteral("avifenc"),
                             {QStringLiteral("--irot"), QStringLiteral("1"), QStringLiteral("IN"),
                              QStringLiteral("OUT")},
                             cameraJpeg(), QStringLiteral("camera.jpg"), QStringLiteral("turned.avif"))
            << 8 << 2 << QSize(16, 32) << QStringList{"Exif.Image.Make=Corvane", "Exif.Image.Orientation=1"}
            << QString() << QByteArray();
        QTest::newRow("two-picture HEIC")
            << "two.heic"
            << encodedByTool(
                   QStringLiteral("heif-enc"),
                   {QStringLiteral("-o"), QStringLiteral("OUT"), QStringLiteral("IN"), QStringLiteral("IN")},
                   encoded(pattern(QImage::Format_RGB888), "PNG"), QStringLiteral("rgb.png"),
                   QStringLiteral("two.heic"))
            << 8 << 2 << doubled << none << "only the primary one of its 2 pictures was enlarged"
            << QByteArray();
        // Print shops send CMYK with its profile, which Qt cannot read: the user is told.
        QTest::newRow("CMYK JPEG with its profile")
            << "cmyk.jpg"
            << encodedByTool(QStringLiteral("convert"),
                             {QStringLiteral("IN"), QStringLiteral("-profile"),
                              QStringLiteral("/usr/share/color/icc/ghostscript/default_cmyk.icc"),
                              QStringLiteral("OUT")},
                             encoded(pattern(QImage::Format_RGB888), "PNG"), QStringLiteral("rgb.png"),
                             QStringLiteral("cmyk.jpg"))
            << 8 << 2 << doubled << none
            << "its colour profile could not be read (CMYK profiles are not): the colours were converted "
               "without it"
            << QByteArray();
        QTest::newRow("two-frame GIF") << "anim.gif" << twoFrameGif() << 8 << 2 << QSize(12, 8) << none
                                       << "only the first of its 2 frames was enlarged" << QByteArray();
    }
    void resultKeepsWhatTheInputIs()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, input);
        QFETCH(int, bits);
        QFETCH(QStringList, metadata);
        QFETCH(QString, note);
        QFETCH(QByteArray, pixels);
        if (input.isEmpty() && !encoderOf(name).isEmpty())
            QSKIP(
                qPrintable(encoderOf(name) + QStringLiteral(" is missing or could not encode the picture")));
        QVERIFY(!input.isEmpty());

        QTemporaryDir in;
        QTemporaryDir out;
        QFile file(in.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(input) == input.size());
        file.close();
        // What the picture is, decided when it is decoded, is what its result stores.
        const engine::Picture decoded = engine::loadInputImage(file.fileName());
        QCOMPARE(decoded.depth, bits);
        const int colourTypeOf[] = {0, 4, 2, 6}; // PNG's, of 1 to 4 channels
        QTEST(colourTypeOf[decoded.channelCount() - 1], "colourType");
        engine::BatchJob job(out.path(),
                             std::make_shared<engine::Upscaler>(skewed, 2, engine::Device::cpu(), 32));
        job.run({file.fileName()});
        QVERIFY2(job.summary().failures.isEmpty(), qPrintable(job.summary().failures.value(0).reason));
        QCOMPARE(job.summary().written.size(), 1);
        const QString result = job.summary().written.first();
        QCOMPARE(QFileInfo(result).suffix(), QStringLiteral("png"));

        QFile written(result);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QByteArray header = written.read(26);
        QCOMPARE(int(uchar(header.at(24))), bits);
        QTEST(int(uchar(header.at(25))), "colourType");
        const QImage image(result);
        QTEST(image.size(), "size");
        // The 10-bit AVIF cannot hold 16-bit values, only more levels than 8 bits.
        if (bits == 16)
            QVERIFY(name.endsWith(QLatin1String(".avif")) ? moreThan256Levels(image)
                                                          : holdsSixteenBits(image));
        if (!pixels.isEmpty())
            QCOMPARE(md5OfRgba8888(image), pixels);

        const QMap<QString, QString> found = metadataOf(result);
        for (const QString &entry : metadata) {
            const QString key = entry.section(QLatin1Char('='), 0, 0);
            QCOMPARE(key + QLatin1Char('=') + found.value(key, QStringLiteral("(missing)")), entry);
        }
        QCOMPARE(job.summary().notes.size(), note.isEmpty() ? 0 : 1);
        if (!note.isEmpty()) {
            QCOMPARE(job.summary().notes.first().note, note);
            // The window lists it as it lists failures.
            QVERIFY(engine::completionText(job.summary()).contains(name + QStringLiteral(" \u2013 ") + note));
        }
    }
};

QTEST_GUILESS_MAIN(PicturesTest)
#include "tst_pictures.moc"
