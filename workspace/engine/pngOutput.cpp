#include "workspace/engine/pngOutput.h"

#include "workspace/engine/pictureDepth.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDebug>
#include <QIODevice>

#include <csetjmp>
#include <vector>

#include <png.h>
#include <zlib.h>

namespace engine {

namespace {

struct Sink {
    QIODevice *device = nullptr;
    QString error;
    QString warning; // the encoder's last complaint that it let pass
};

void writeBytes(png_structp png, png_bytep data, size_t length)
{
    auto *sink = static_cast<Sink *>(png_get_io_ptr(png));
    if (sink->device->write(reinterpret_cast<const char *>(data), qint64(length)) != qint64(length))
        png_error(png, "the device refused the bytes");
}

void flushNothing(png_structp) {}

void onError(png_structp png, png_const_charp message)
{
    auto *sink = static_cast<Sink *>(png_get_io_ptr(png));
    if (sink && sink->error.isEmpty())
        sink->error = QString::fromLatin1(message);
    png_longjmp(png, 1);
}

void onWarning(png_structp png, png_const_charp message)
{
    if (auto *sink = static_cast<Sink *>(png_get_error_ptr(png)))
        sink->warning = QString::fromLatin1(message);
    qDebug() << "png:" << message;
}

// What the file stores, and the Qt format whose rows hold it.
struct Layout {
    QImage pixels;
    int colourType = PNG_COLOR_TYPE_RGB;
    int bitDepth = 8;
    int channels = 3;        // per pixel in the file
    int stride = 3;          // values per pixel in `pixels`
    bool directRows = false; // `pixels` rows are the file's rows as they are
};

Layout layoutFor(const QImage &image, bool grey)
{
    const bool deep = isDeep(image);
    const bool alpha = image.hasAlphaChannel();
    const bool greyFormat =
        image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16;
    Layout layout;
    layout.bitDepth = deep ? 16 : 8;
    if ((grey || greyFormat) && !alpha) {
        const QImage::Format format = deep ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8;
        layout.pixels = image.format() == format || greyFormat
                            ? image.convertToFormat(format)
                            : lumaOf(image.convertToFormat(colourFormatFor(image)));
        layout.colourType = PNG_COLOR_TYPE_GRAY;
        layout.channels = layout.stride = 1;
    } else if (grey) {
        // Grey with alpha has no Qt format: the colour channels are equal, the first stands for all.
        layout.pixels = image.convertToFormat(deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
        layout.colourType = PNG_COLOR_TYPE_GRAY_ALPHA;
        layout.channels = 2;
        layout.stride = 4;
    } else if (alpha) {
        layout.pixels = image.convertToFormat(deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888);
        layout.colourType = PNG_COLOR_TYPE_RGB_ALPHA;
        layout.channels = layout.stride = 4;
    } else {
        layout.pixels = image.convertToFormat(deep ? QImage::Format_RGBX64 : QImage::Format_RGB888);
        layout.colourType = PNG_COLOR_TYPE_RGB;
        layout.channels = 3;
        layout.stride = deep ? 4 : 3;
    }
    layout.directRows = !deep && layout.channels == layout.stride;
    return layout;
}

// One file row from one row of the layout's pixels: the channels it keeps, 16-bit values big-endian.
void fillRow(const Layout &layout, int y, std::vector<png_byte> &row)
{
    const int width = layout.pixels.width();
    const int alphaAt = layout.stride - 1;
    png_byte *to = row.data();
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
    auto put = [&to](quint16 value) {
        *to++ = png_byte(value >> 8);
        *to++ = png_byte(value & 0xff);
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

// The resolution, and the colour space as an ICC profile when it describes the file's channels (a
// grey profile for grey, an RGB one for colour). A profile the encoder refuses is left out: the
// picture matters more than its profile. What was left out, and why, goes to *note.
void describeColour(png_structp png, png_infop info, const QImage &image, const Layout &layout, Sink &sink,
                    QString *note)
{
    if (image.dotsPerMeterX() > 0 && image.dotsPerMeterY() > 0)
        png_set_pHYs(png, info, png_uint_32(image.dotsPerMeterX()), png_uint_32(image.dotsPerMeterY()),
                     PNG_RESOLUTION_METER);
    const QColorSpace space = image.colorSpace();
    if (!space.isValid())
        return;
    const QByteArray profile = space.iccProfile();
    // The profile's data colour space, bytes 16 to 19 of its header.
    const QByteArray model = profile.mid(16, 4);
    const bool greyFile =
        layout.colourType == PNG_COLOR_TYPE_GRAY || layout.colourType == PNG_COLOR_TYPE_GRAY_ALPHA;
    if (profile.isEmpty() || model != (greyFile ? QByteArrayLiteral("GRAY") : QByteArrayLiteral("RGB ")))
        return;
    QByteArray name = space.description().toLatin1().left(79);
    if (name.isEmpty())
        name = QByteArrayLiteral("Custom");
    sink.warning.clear();
    png_set_iCCP(png, info, name.constData(), PNG_COMPRESSION_TYPE_BASE,
                 reinterpret_cast<png_const_bytep>(profile.constData()), png_uint_32(profile.size()));
    if (!png_get_valid(png, info, PNG_INFO_iCCP) && note)
        *note = QStringLiteral("its colour profile was left out: ") +
                (sink.warning.isEmpty() ? QStringLiteral("the PNG encoder refused it") : sink.warning);
}

// The picture's text entries (the result mark among them) as tEXt chunks; libpng copies them.
void describeText(png_structp png, png_infop info, const QImage &image)
{
    for (const QString &key : image.textKeys()) {
        const QByteArray name = key.toLatin1();
        const QByteArray value = image.text(key).toLatin1();
        if (name.isEmpty() || name.size() > 79)
            continue;
        png_text chunk{};
        chunk.compression = PNG_TEXT_COMPRESSION_NONE;
        chunk.key = const_cast<char *>(name.constData());
        chunk.text = const_cast<char *>(value.constData());
        chunk.text_length = size_t(value.size());
        png_set_text(png, info, &chunk, 1);
    }
}

// Apart from encodePng, so that nothing it changes lives in the frame that setjmp returns to.
void writeRows(png_structp png, const Layout &layout, std::vector<png_byte> &row,
               const std::function<void(int percent)> &progress)
{
    const int height = layout.pixels.height();
    int reported = 0;
    if (progress)
        progress(0);
    for (int y = 0; y < height; ++y) {
        if (layout.directRows) {
            png_write_row(png, layout.pixels.constScanLine(y));
        } else {
            fillRow(layout, y, row);
            png_write_row(png, row.data());
        }
        const int percent = int(qint64(y + 1) * 100 / height);
        if (progress && percent != reported) {
            reported = percent;
            progress(percent);
        }
    }
}

// The filter and strategy that encode a strip from the middle of the picture smallest.
PngSettings chosenSettings(const QImage &image, bool grey, int level)
{
    constexpr int kStripRows = 64;
    const QImage strip = image.height() <= kStripRows
                             ? image
                             : image.copy(0, (image.height() - kStripRows) / 2, image.width(), kStripRows);
    // Smooth results, smooth results with sharp edges, grainy pictures.
    const PngSettings candidates[] = {{level, PNG_FILTER_AVG, Z_RLE},
                                      {level, PNG_FILTER_PAETH, Z_RLE},
                                      {level, PNG_FILTER_AVG, Z_DEFAULT_STRATEGY}};
    PngSettings best = candidates[0];
    qint64 fewest = -1;
    for (const PngSettings &candidate : candidates) {
        QByteArray encoded;
        QBuffer buffer(&encoded);
        buffer.open(QIODevice::WriteOnly);
        if (encodePng(strip, grey, &buffer, nullptr, {}, candidate) &&
            (fewest < 0 || encoded.size() < fewest)) {
            fewest = encoded.size();
            best = candidate;
        }
    }
    return best;
}

} // namespace

bool encodePng(const QImage &image, bool grey, QIODevice *device, QString *error,
               const std::function<void(int percent)> &progress, const PngSettings &settings, QString *note)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (image.isNull())
        return fail(QStringLiteral("no image to write"));
    const PngSettings chosen = settings.filters > 0 && settings.strategy >= 0
                                   ? settings
                                   : chosenSettings(image, grey, settings.level);
    // Everything with a destructor lives outside the part that libpng may leave by longjmp.
    const Layout layout = layoutFor(image, grey);
    if (layout.pixels.isNull())
        return fail(QStringLiteral("no memory to prepare the picture"));
    std::vector<png_byte> row(size_t(layout.pixels.width()) * size_t(layout.channels) *
                              size_t(layout.bitDepth / 8));
    Sink sink;
    sink.device = device;

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &sink, onError, onWarning);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return fail(QStringLiteral("no memory for the PNG encoder"));
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return fail(sink.error.isEmpty() ? QStringLiteral("the PNG encoder failed") : sink.error);
    }
    png_set_write_fn(png, &sink, writeBytes, flushNothing);
    // Profiles that cameras and editors embed everywhere (the 1998 HP sRGB among them) fail libpng's
    // sRGB comparison; they describe the picture all the same. Other complaints about what the picture
    // carries become warnings, so that metadata never costs the picture.
    png_set_option(png, PNG_SKIP_sRGB_CHECK_PROFILE, PNG_OPTION_ON);
    png_set_benign_errors(png, 1);
    png_set_compression_level(png, chosen.level);
    png_set_compression_strategy(png, chosen.strategy);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, chosen.filters);
    // Fewer, larger IDAT chunks: less bookkeeping per byte.
    png_set_compression_buffer_size(png, 1 << 18);
    png_set_IHDR(png, info, png_uint_32(layout.pixels.width()), png_uint_32(layout.pixels.height()),
                 layout.bitDepth, layout.colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
                 PNG_FILTER_TYPE_BASE);
    describeColour(png, info, image, layout, sink, note);
    describeText(png, info, image);
    png_write_info(png, info);
    writeRows(png, layout, row, progress);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

PngWriteResult writeNewPng(const QImage &image, const QString &folder, const QString &inputPath)
{
    PictureToWrite picture;
    picture.image = image;
    picture.folder = folder;
    picture.inputPath = inputPath;
    return writeNewPicture(picture);
}

} // namespace engine
