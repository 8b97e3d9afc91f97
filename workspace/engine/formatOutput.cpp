#include "workspace/engine/formatOutput.h"

#include "workspace/engine/pictureDepth.h"

#include <QDebug>
#include <QIODevice>
#include <QThread>

#include <cmath>
#include <memory>
#include <vector>

#include <avif/avif.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>
#include <tiffio.h>

namespace engine {

namespace {

Problem fail(const QString &why)
{
    return {Problem::Code::CannotWrite, why};
}

void report(const Encoding &encoding, int percent)
{
    if (encoding.progress)
        encoding.progress(percent);
}

// --- TIFF, through libtiff's client procedures onto the device ---

struct TiffSink {
    QIODevice *device = nullptr;
    QString error;
};

tmsize_t tiffRead(thandle_t handle, void *data, tmsize_t size)
{
    return tmsize_t(static_cast<TiffSink *>(handle)->device->read(static_cast<char *>(data), qint64(size)));
}

tmsize_t tiffWrite(thandle_t handle, void *data, tmsize_t size)
{
    return tmsize_t(
        static_cast<TiffSink *>(handle)->device->write(static_cast<const char *>(data), qint64(size)));
}

toff_t tiffSeek(thandle_t handle, toff_t offset, int whence)
{
    QIODevice *device = static_cast<TiffSink *>(handle)->device;
    qint64 to = qint64(offset);
    if (whence == SEEK_CUR)
        to += device->pos();
    else if (whence == SEEK_END)
        to += device->size();
    return device->seek(to) ? toff_t(to) : toff_t(-1);
}

int tiffClose(thandle_t)
{
    return 0;
}

toff_t tiffSize(thandle_t handle)
{
    return toff_t(static_cast<TiffSink *>(handle)->device->size());
}

int tiffError(TIFF *, void *handle, const char *module, const char *format, va_list args)
{
    char message[512];
    std::vsnprintf(message, sizeof message, format, args);
    auto *sink = static_cast<TiffSink *>(handle);
    if (sink && sink->error.isEmpty())
        sink->error = QString::fromLocal8Bit(message);
    qDebug() << "tiff:" << module << message;
    return 1;
}

int tiffWarning(TIFF *, void *, const char *module, const char *format, va_list args)
{
    char message[512];
    std::vsnprintf(message, sizeof message, format, args);
    qDebug() << "tiff:" << module << message;
    return 1;
}

} // namespace

Problem encodeTiff(const Encoding &encoding, QIODevice *device)
{
    report(encoding, 0);
    // Grey with alpha is stored as RGBA: Qt's reader (this program's own among them) reads a grey
    // TIFF's extra sample as no alpha at all.
    SampleLayout layout = sampleLayout(encoding.picture);
    if (layout.channels == 2) {
        Picture colour = encoding.picture;
        colour.channels = Picture::Channels::ColourAlpha;
        layout = sampleLayout(colour);
    }
    if (layout.pixels.isNull())
        return fail(QStringLiteral("no memory to prepare the picture"));
    TiffSink sink;
    sink.device = device;
    std::unique_ptr<TIFFOpenOptions, void (*)(TIFFOpenOptions *)> options(TIFFOpenOptionsAlloc(),
                                                                          TIFFOpenOptionsFree);
    if (!options)
        return fail(QStringLiteral("no memory for the TIFF encoder"));
    TIFFOpenOptionsSetErrorHandlerExtR(options.get(), tiffError, &sink);
    TIFFOpenOptionsSetWarningHandlerExtR(options.get(), tiffWarning, &sink);
    // Past 4 GiB the classic format's offsets overflow: such a picture is written as BigTIFF.
    const bool big =
        qint64(layout.rowBytes()) * layout.pixels.height() > (qint64(1) << 32) - (qint64(1) << 26);
    TIFF *tiff = TIFFClientOpenExt("result", big ? "w8" : "w", &sink, tiffRead, tiffWrite, tiffSeek,
                                   tiffClose, tiffSize, nullptr, nullptr, options.get());
    if (!tiff)
        return fail(sink.error.isEmpty() ? QStringLiteral("the TIFF encoder failed") : sink.error);
    const auto width = uint32_t(layout.pixels.width());
    const auto height = uint32_t(layout.pixels.height());
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, uint16_t(layout.bitDepth));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, uint16_t(layout.channels));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, layout.channels <= 2 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (layout.channels == 2 || layout.channels == 4) {
        const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, uint16_t(1), extra);
    }
    // Deflate at a low level with the horizontal predictor: the same trade as the PNG encoder's
    // (pngOutput.h), most of the size for a fraction of the time.
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, 2);
    TIFFSetField(tiff, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    // Strips of about 256 KiB.
    const uint32_t rows =
        std::max<uint32_t>(1, uint32_t((256 << 10) / std::max<size_t>(1, layout.rowBytes())));
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, std::min(rows, height));
    // Without a resolution from the source or the user none is written; readers then assume 72 dots
    // per inch, as the format's baseline tells them.
    if (encoding.dpi && encoding.dpi->width() > 0 && encoding.dpi->height() > 0) {
        TIFFSetField(tiff, TIFFTAG_XRESOLUTION, float(encoding.dpi->width()));
        TIFFSetField(tiff, TIFFTAG_YRESOLUTION, float(encoding.dpi->height()));
        TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    }
    const QByteArray profile = fileProfile(encoding.picture, layout.channels);
    if (!profile.isEmpty())
        TIFFSetField(tiff, TIFFTAG_ICCPROFILE, uint32_t(profile.size()), profile.constData());
    TIFFSetField(tiff, TIFFTAG_SOFTWARE, "Brivelle AI");

    std::vector<uchar> row(layout.rowBytes());
    bool written = true;
    int reported = 0;
    for (uint32_t y = 0; y < height && written; ++y) {
        fillSamples(layout, int(y), row.data(), false);
        written = TIFFWriteScanline(tiff, row.data(), y, 0) == 1;
        const int percent = int(qint64(y + 1) * 100 / height);
        if (percent != reported) {
            reported = percent;
            report(encoding, percent);
        }
    }
    written = written && TIFFWriteDirectory(tiff) == 1;
    TIFFClose(tiff);
    if (!written)
        return fail(sink.error.isEmpty() ? QStringLiteral("the TIFF encoder failed") : sink.error);
    return {};
}

// --- JPEG XL ---

namespace {

// cjxl's mapping: quality 90 is distance 1 (visually lossless), 100 the smallest distance.
float distanceFor(int quality)
{
    if (quality >= 30)
        return 0.1f + float(100 - quality) * 0.09f;
    return 6.4f + float(std::pow(2.5, (30 - quality) / 5.0)) / 6.25f;
}

// The EXIF of `metadata` as the box holds it: the offset of the TIFF header, then the block.
QByteArray exifBox(const QByteArray &exif)
{
    return QByteArray(4, '\0') + exif;
}

} // namespace

Problem encodeJxl(const Encoding &encoding, QIODevice *device)
{
    report(encoding, 0);
    const SampleLayout layout = sampleLayout(encoding.picture);
    if (layout.pixels.isNull())
        return fail(QStringLiteral("no memory to prepare the picture"));
    const int height = layout.pixels.height();
    std::vector<uchar> samples;
    try {
        samples.resize(layout.rowBytes() * size_t(height));
    } catch (const std::bad_alloc &) {
        return fail(QStringLiteral("no memory to prepare the picture"));
    }
    for (int y = 0; y < height; ++y)
        fillSamples(layout, y, samples.data() + layout.rowBytes() * size_t(y), false);

    std::unique_ptr<JxlEncoder, void (*)(JxlEncoder *)> encoder(JxlEncoderCreate(nullptr), JxlEncoderDestroy);
    std::unique_ptr<void, void (*)(void *)> runner(
        JxlThreadParallelRunnerCreate(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads()),
        JxlThreadParallelRunnerDestroy);
    if (!encoder || !runner)
        return fail(QStringLiteral("no memory for the JPEG XL encoder"));
    JxlEncoder *enc = encoder.get();
    const bool lossless = encoding.quality < 0;
    const bool alpha = layout.channels == 2 || layout.channels == 4;
    const bool greyFile = layout.channels <= 2;
    const uint32_t bits = uint32_t(layout.bitDepth);

    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(layout.pixels.width());
    info.ysize = uint32_t(height);
    info.bits_per_sample = bits;
    info.num_color_channels = greyFile ? 1 : 3;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? bits : 0;
    info.uses_original_profile = lossless ? JXL_TRUE : JXL_FALSE;
    bool ok = JxlEncoderSetParallelRunner(enc, JxlThreadParallelRunner, runner.get()) == JXL_ENC_SUCCESS &&
              JxlEncoderSetBasicInfo(enc, &info) == JXL_ENC_SUCCESS;
    if (ok && alpha) {
        JxlExtraChannelInfo channel;
        JxlEncoderInitExtraChannelInfo(JXL_CHANNEL_ALPHA, &channel);
        channel.bits_per_sample = bits;
        ok = JxlEncoderSetExtraChannelInfo(enc, 0, &channel) == JXL_ENC_SUCCESS;
    }
    const QByteArray profile = fileProfile(encoding.picture, layout.channels);
    if (ok && !(!profile.isEmpty() &&
                JxlEncoderSetICCProfile(enc, reinterpret_cast<const uint8_t *>(profile.constData()),
                                        size_t(profile.size())) == JXL_ENC_SUCCESS)) {
        JxlColorEncoding srgb;
        JxlColorEncodingSetToSRGB(&srgb, greyFile ? JXL_TRUE : JXL_FALSE);
        ok = JxlEncoderSetColorEncoding(enc, &srgb) == JXL_ENC_SUCCESS;
    }
    const EncodedMetadata &metadata = encoding.metadata;
    if (ok && (!metadata.exif.isEmpty() || !metadata.xmp.isEmpty())) {
        ok = JxlEncoderUseBoxes(enc) == JXL_ENC_SUCCESS;
        const QByteArray exif = exifBox(metadata.exif);
        if (ok && !metadata.exif.isEmpty())
            ok = JxlEncoderAddBox(enc, "Exif", reinterpret_cast<const uint8_t *>(exif.constData()),
                                  size_t(exif.size()), JXL_FALSE) == JXL_ENC_SUCCESS;
        if (ok && !metadata.xmp.isEmpty())
            ok = JxlEncoderAddBox(enc, "xml ", reinterpret_cast<const uint8_t *>(metadata.xmp.constData()),
                                  size_t(metadata.xmp.size()), JXL_FALSE) == JXL_ENC_SUCCESS;
        JxlEncoderCloseBoxes(enc);
    }
    JxlEncoderFrameSettings *settings = ok ? JxlEncoderFrameSettingsCreate(enc, nullptr) : nullptr;
    if (settings) {
        // Lossless at effort 7 takes minutes for a large result; 3 keeps most of its size.
        JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, lossless ? 3 : 7);
        ok = lossless
                 ? JxlEncoderSetFrameLossless(settings, JXL_TRUE) == JXL_ENC_SUCCESS
                 : JxlEncoderSetFrameDistance(settings, distanceFor(encoding.quality)) == JXL_ENC_SUCCESS;
    }
    const JxlPixelFormat format{uint32_t(layout.channels), bits == 16 ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
                                JXL_NATIVE_ENDIAN, 0};
    ok = ok && settings &&
         JxlEncoderAddImageFrame(settings, &format, samples.data(), samples.size()) == JXL_ENC_SUCCESS;
    if (!ok)
        return fail(QStringLiteral("the JPEG XL encoder refused the picture (error %1)")
                        .arg(int(JxlEncoderGetError(enc))));
    JxlEncoderCloseInput(enc);
    report(encoding, 10);

    std::vector<uint8_t> chunk(1 << 20);
    JxlEncoderStatus status = JXL_ENC_NEED_MORE_OUTPUT;
    while (status == JXL_ENC_NEED_MORE_OUTPUT) {
        uint8_t *next = chunk.data();
        size_t available = chunk.size();
        status = JxlEncoderProcessOutput(enc, &next, &available);
        const qint64 produced = qint64(next - chunk.data());
        if (produced > 0 && device->write(reinterpret_cast<const char *>(chunk.data()), produced) != produced)
            return fail(QStringLiteral("the device refused the bytes"));
    }
    if (status != JXL_ENC_SUCCESS)
        return fail(
            QStringLiteral("the JPEG XL encoder failed (error %1)").arg(int(JxlEncoderGetError(enc))));
    report(encoding, 100);
    return {};
}

// --- AVIF ---

Problem encodeAvif(const Encoding &encoding, QIODevice *device)
{
    report(encoding, 0);
    const QImage &image = encoding.picture.image;
    const bool deep = encoding.picture.isDeep();
    const bool alpha = encoding.picture.hasAlpha();
    const bool grey = encoding.picture.isGrey();
    // libavif takes RGB(A) rows: Qt's RGBA formats are its byte order, 16-bit values in the machine's.
    const QImage pixels =
        image.convertToFormat(deep ? (alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
                                   : (alpha ? QImage::Format_RGBA8888 : QImage::Format_RGBX8888));
    if (pixels.isNull())
        return fail(QStringLiteral("no memory to prepare the picture"));
    std::unique_ptr<avifImage, void (*)(avifImage *)> avif(
        avifImageCreate(uint32_t(pixels.width()), uint32_t(pixels.height()), deep ? 10 : 8,
                        grey ? AVIF_PIXEL_FORMAT_YUV400 : AVIF_PIXEL_FORMAT_YUV444),
        avifImageDestroy);
    if (!avif)
        return fail(QStringLiteral("no memory for the AVIF encoder"));
    avif->yuvRange = AVIF_RANGE_FULL;
    avif->matrixCoefficients = AVIF_MATRIX_COEFFICIENTS_BT601;
    const QByteArray profile = fileProfile(encoding.picture, grey ? 1 : 3);
    if (!profile.isEmpty()) {
        avifImageSetProfileICC(avif.get(), reinterpret_cast<const uint8_t *>(profile.constData()),
                               size_t(profile.size()));
    } else {
        avif->colorPrimaries = AVIF_COLOR_PRIMARIES_BT709;
        avif->transferCharacteristics = AVIF_TRANSFER_CHARACTERISTICS_SRGB;
    }
    const EncodedMetadata &metadata = encoding.metadata;
    if (!metadata.exif.isEmpty())
        avifImageSetMetadataExif(avif.get(), reinterpret_cast<const uint8_t *>(metadata.exif.constData()),
                                 size_t(metadata.exif.size()));
    if (!metadata.xmp.isEmpty())
        avifImageSetMetadataXMP(avif.get(), reinterpret_cast<const uint8_t *>(metadata.xmp.constData()),
                                size_t(metadata.xmp.size()));

    avifRGBImage rgb;
    avifRGBImageSetDefaults(&rgb, avif.get());
    rgb.format = AVIF_RGB_FORMAT_RGBA;
    rgb.depth = deep ? 16 : 8;
    rgb.ignoreAlpha = alpha ? AVIF_FALSE : AVIF_TRUE;
    rgb.pixels = const_cast<uint8_t *>(pixels.constBits());
    rgb.rowBytes = uint32_t(pixels.bytesPerLine());
    if (const avifResult converted = avifImageRGBToYUV(avif.get(), &rgb); converted != AVIF_RESULT_OK)
        return fail(QString::fromLatin1(avifResultToString(converted)));
    report(encoding, 10);

    std::unique_ptr<avifEncoder, void (*)(avifEncoder *)> encoder(avifEncoderCreate(), avifEncoderDestroy);
    if (!encoder)
        return fail(QStringLiteral("no memory for the AVIF encoder"));
    // Quality 100 is quantizer 0, quality 1 the coarsest, 63; alpha is kept exactly.
    const int quality = encoding.quality > 0 ? encoding.quality : kDefaultAvifQuality;
    const int quantizer = int(std::lround((100 - quality) * 63 / 99.0));
    encoder->minQuantizer = encoder->maxQuantizer = quantizer;
    encoder->minQuantizerAlpha = encoder->maxQuantizerAlpha = AVIF_QUANTIZER_LOSSLESS;
    encoder->maxThreads = QThread::idealThreadCount();
    encoder->speed = 7;
    // Tiles let the AV1 encoder use its threads on large pictures.
    if (qint64(pixels.width()) * pixels.height() > 4'000'000)
        encoder->tileColsLog2 = encoder->tileRowsLog2 = 1;
    avifRWData output = AVIF_DATA_EMPTY;
    const avifResult encoded = avifEncoderWrite(encoder.get(), avif.get(), &output);
    bool ok = encoded == AVIF_RESULT_OK;
    QString why = ok ? QString() : QString::fromLatin1(avifResultToString(encoded));
    if (ok && device->write(reinterpret_cast<const char *>(output.data), qint64(output.size)) !=
                  qint64(output.size)) {
        ok = false;
        why = QStringLiteral("the device refused the bytes");
    }
    avifRWDataFree(&output);
    if (!ok)
        return fail(why);
    report(encoding, 100);
    return {};
}

} // namespace engine
