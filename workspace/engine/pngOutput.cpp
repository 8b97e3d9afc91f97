#include "workspace/engine/pngOutput.h"

#include "workspace/engine/pictureDepth.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDebug>
#include <QIODevice>

#include <cmath>
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

int colourTypeOf(const SampleLayout &layout)
{
    switch (layout.channels) {
    case 1:
        return PNG_COLOR_TYPE_GRAY;
    case 2:
        return PNG_COLOR_TYPE_GRAY_ALPHA;
    case 4:
        return PNG_COLOR_TYPE_RGB_ALPHA;
    default:
        return PNG_COLOR_TYPE_RGB;
    }
}

// The resolution, and the colour space as an ICC profile when it describes the file's channels (a
// grey profile for grey, an RGB one for colour). A profile the encoder refuses is left out: the
// picture matters more than its profile. What was left out, and why, goes to *note.
void describeColour(png_structp png, png_infop info, const Picture &picture, const SampleLayout &layout,
                    const std::optional<QSizeF> &dpi, Sink &sink, QString *note)
{
    if (dpi && dpi->width() > 0 && dpi->height() > 0)
        png_set_pHYs(png, info, png_uint_32(std::lround(dpi->width() / 0.0254)),
                     png_uint_32(std::lround(dpi->height() / 0.0254)), PNG_RESOLUTION_METER);
    const QByteArray profile = fileProfile(picture, layout.channels);
    if (profile.isEmpty())
        return;
    const QColorSpace space = picture.image.colorSpace();
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
void writeRows(png_structp png, const SampleLayout &layout, std::vector<png_byte> &row,
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
            fillSamples(layout, y, row.data(), true);
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
PngSettings chosenSettings(const Picture &picture, int level)
{
    constexpr int kStripRows = 64;
    const QImage &image = picture.image;
    Picture strip = picture;
    if (image.height() > kStripRows)
        strip.image = image.copy(0, (image.height() - kStripRows) / 2, image.width(), kStripRows);
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
        if (!encodePng(strip, &buffer, {}, candidate) && (fewest < 0 || encoded.size() < fewest)) {
            fewest = encoded.size();
            best = candidate;
        }
    }
    return best;
}

} // namespace

Problem encodePng(const QImage &image, bool grey, QIODevice *device,
                  const std::function<void(int percent)> &progress, const PngSettings &settings,
                  QString *note, const std::optional<QSizeF> &dpi)
{
    return encodePng(Picture::asStored(image, grey), device, progress, settings, note, dpi);
}

Problem encodePng(const Picture &picture, QIODevice *device, const std::function<void(int percent)> &progress,
                  const PngSettings &settings, QString *note, const std::optional<QSizeF> &dpi)
{
    auto fail = [](const QString &why) {
        return Problem(Problem::Code::CannotWrite, why);
    };
    if (picture.image.isNull())
        return fail(QStringLiteral("no image to write"));
    const PngSettings chosen =
        settings.filters > 0 && settings.strategy >= 0 ? settings : chosenSettings(picture, settings.level);
    // Everything with a destructor lives outside the part that libpng may leave by longjmp.
    const SampleLayout layout = sampleLayout(picture);
    if (layout.pixels.isNull())
        return fail(QStringLiteral("no memory to prepare the picture"));
    std::vector<png_byte> row(layout.rowBytes());
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
                 layout.bitDepth, colourTypeOf(layout), PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
                 PNG_FILTER_TYPE_BASE);
    describeColour(png, info, picture, layout, dpi, sink, note);
    describeText(png, info, picture.image);
    png_write_info(png, info);
    writeRows(png, layout, row, progress);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return {};
}

PngWriteResult writeNewPng(const QImage &image, const QString &folder, const QString &inputPath)
{
    PictureToWrite picture;
    picture.result = Picture::asStored(image);
    picture.result.metadataSource = inputPath;
    picture.folder = folder;
    picture.inputPath = inputPath;
    return writeNewPicture(picture);
}

} // namespace engine
