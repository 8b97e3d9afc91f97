#include "imageformats/jxl/jxlHandler.h"

#include <QColorSpace>
#include <QIODevice>
#include <QVariant>

#include <jxl/decode_cxx.h>
#include <jxl/thread_parallel_runner_cxx.h>

#include <cstring>

namespace imageformats {

namespace {

bool deep(const JxlBasicInfo &info)
{
    return info.bits_per_sample > 8 || info.exponent_bits_per_sample > 0;
}

QImage::Format formatOf(const JxlBasicInfo &info)
{
    const bool alpha = info.alpha_bits > 0;
    if (info.num_color_channels == 1 && !alpha)
        return deep(info) ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8;
    if (deep(info))
        return alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64;
    return alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888;
}

// The size of the pixels libjxl gives: turned by a quarter where the codestream says so (values 5
// to 8), unless the library already reports the turned size, as it does when it applies the turn.
QSize orientedSize(const JxlBasicInfo &info)
{
    const bool quarter = info.orientation >= JXL_ORIENT_TRANSPOSE;
    return quarter ? QSize(int(info.ysize), int(info.xsize)) : QSize(int(info.xsize), int(info.ysize));
}

bool isSrgb(const JxlColorEncoding &encoding)
{
    return encoding.color_space == JXL_COLOR_SPACE_RGB && encoding.white_point == JXL_WHITE_POINT_D65 &&
           encoding.primaries == JXL_PRIMARIES_SRGB &&
           encoding.transfer_function == JXL_TRANSFER_FUNCTION_SRGB;
}

// The profile of the pixels as given; none where that is sRGB or grey sRGB, as for a JPEG without one.
QColorSpace colorSpaceOf(const JxlDecoder *decoder)
{
    JxlColorEncoding encoding{};
    if (JxlDecoderGetColorAsEncodedProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoding) ==
            JXL_DEC_SUCCESS &&
        (isSrgb(encoding) || encoding.color_space == JXL_COLOR_SPACE_GRAY))
        return {};
    size_t size = 0;
    if (JxlDecoderGetICCProfileSize(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) !=
            JXL_DEC_SUCCESS ||
        size == 0 || size > size_t(64) << 20)
        return {};
    QByteArray icc(qsizetype(size), Qt::Uninitialized);
    if (JxlDecoderGetColorAsICCProfile(decoder, nullptr, JXL_COLOR_PROFILE_TARGET_DATA,
                                       reinterpret_cast<uint8_t *>(icc.data()), size) != JXL_DEC_SUCCESS)
        return {};
    return QColorSpace::fromIccProfile(icc);
}

quint64 bigEndian(const char *bytes, int count)
{
    quint64 value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | uchar(bytes[i]);
    return value;
}

// Whether the boxes of a boxed file all end within its bytes; the last may say it runs to the end.
bool boxesWhole(const QByteArray &data)
{
    qsizetype at = 0;
    while (data.size() - at >= 8) {
        quint64 size = bigEndian(data.constData() + at, 4);
        quint64 header = 8;
        if (size == 0)
            return true;
        if (size == 1) {
            if (data.size() - at < 16)
                return false;
            size = bigEndian(data.constData() + at + 8, 8);
            header = 16;
        }
        if (size < header || size > quint64(data.size() - at))
            return false;
        at += qsizetype(size);
    }
    return at == data.size();
}

// The decoder's next event. The input is left open where it can be: a file that ends early then asks
// for more, which is a refusal, where a closed input would have the library print its complaint on
// stderr, the command line's. Only a boxed file whose boxes are whole has its input closed when more
// is asked for: its last box may run to the end, which the library learns only so.
JxlDecoderStatus nextEvent(JxlDecoder *decoder, const QByteArray &data, bool *closed)
{
    const JxlDecoderStatus status = JxlDecoderProcessInput(decoder);
    if (status != JXL_DEC_NEED_MORE_INPUT || *closed ||
        JxlSignatureCheck(reinterpret_cast<const uint8_t *>(data.constData()), size_t(data.size())) !=
            JXL_SIG_CONTAINER ||
        !boxesWhole(data))
        return status;
    JxlDecoderCloseInput(decoder);
    *closed = true;
    return JxlDecoderProcessInput(decoder);
}

} // namespace

bool JxlHandler::canRead(QIODevice *device)
{
    if (!device)
        return false;
    const QByteArray head = device->peek(12);
    const JxlSignature signature =
        JxlSignatureCheck(reinterpret_cast<const uint8_t *>(head.constData()), size_t(head.size()));
    return signature == JXL_SIG_CODESTREAM || signature == JXL_SIG_CONTAINER;
}

bool JxlHandler::canRead() const
{
    if (infoRead_ || canRead(device())) {
        const_cast<JxlHandler *>(this)->setFormat("jxl");
        return true;
    }
    return false;
}

bool JxlHandler::readInfo() const
{
    if (infoTried_)
        return infoRead_;
    infoTried_ = true;
    if (!device() || !canRead(device()))
        return false;
    data_ = device()->readAll();
    const JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_BASIC_INFO) != JXL_DEC_SUCCESS ||
        JxlDecoderSetInput(decoder.get(), reinterpret_cast<const uint8_t *>(data_.constData()),
                           size_t(data_.size())) != JXL_DEC_SUCCESS)
        return false;
    bool closed = false;
    if (nextEvent(decoder.get(), data_, &closed) != JXL_DEC_BASIC_INFO ||
        JxlDecoderGetBasicInfo(decoder.get(), &info_) != JXL_DEC_SUCCESS)
        return false;
    infoRead_ = info_.xsize > 0 && info_.ysize > 0 && info_.xsize <= 0x7fffffff && info_.ysize <= 0x7fffffff;
    return infoRead_;
}

bool JxlHandler::read(QImage *image)
{
    if (!readInfo())
        return false;
    const QImage::Format format = formatOf(info_);
    const QSize size = orientedSize(info_);
    QImage result;
    // Refused before decoding where the picture would pass the reader's allocation limit.
    if (!QImageIOHandler::allocateImage(size, format, &result))
        return false;
    const bool grey = info_.num_color_channels == 1;
    const bool alpha = info_.alpha_bits > 0;
    // Grey with alpha comes as two channels, which Qt has no format for: widened below.
    const uint32_t channels = grey ? (alpha ? 2 : 1) : (alpha ? 4 : 3);
    const JxlPixelFormat pixels{channels, deep(info_) ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN,
                                0};
    const qsizetype sampleBytes = deep(info_) ? 2 : 1;
    const qsizetype packedRow = qsizetype(size.width()) * channels * sampleBytes;
    // RGBX64 and the widened grey with alpha do not match the decoder's rows: decoded aside first.
    const bool direct = !(grey && alpha) && format != QImage::Format_RGBX64;
    QByteArray aside;
    if (!direct)
        aside.resize(packedRow * size.height());

    const JxlDecoderPtr decoder = JxlDecoderMake(nullptr);
    const JxlThreadParallelRunnerPtr runner =
        JxlThreadParallelRunnerMake(nullptr, JxlThreadParallelRunnerDefaultNumWorkerThreads());
    if (!decoder ||
        JxlDecoderSubscribeEvents(decoder.get(), JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE) !=
            JXL_DEC_SUCCESS ||
        (runner && JxlDecoderSetParallelRunner(decoder.get(), JxlThreadParallelRunner, runner.get()) !=
                       JXL_DEC_SUCCESS) ||
        JxlDecoderSetInput(decoder.get(), reinterpret_cast<const uint8_t *>(data_.constData()),
                           size_t(data_.size())) != JXL_DEC_SUCCESS)
        return false;
    QColorSpace space;
    bool closed = false;
    for (;;) {
        const JxlDecoderStatus status = nextEvent(decoder.get(), data_, &closed);
        if (status == JXL_DEC_COLOR_ENCODING) {
            space = colorSpaceOf(decoder.get());
        } else if (status == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
            size_t needed = 0;
            if (JxlDecoderImageOutBufferSize(decoder.get(), &pixels, &needed) != JXL_DEC_SUCCESS)
                return false;
            void *target = direct ? static_cast<void *>(result.bits()) : static_cast<void *>(aside.data());
            const size_t available = direct ? size_t(result.sizeInBytes()) : size_t(aside.size());
            // The decoder writes packed rows; Qt's rows are padded to 4 bytes, which only fits where
            // the packed row already is a multiple of 4.
            if (direct && qsizetype(result.bytesPerLine()) != packedRow) {
                aside.resize(packedRow * size.height());
                target = aside.data();
            }
            if (needed > (target == aside.data() ? size_t(aside.size()) : available) ||
                JxlDecoderSetImageOutBuffer(decoder.get(), &pixels, target, needed) != JXL_DEC_SUCCESS)
                return false;
        } else if (status == JXL_DEC_FULL_IMAGE) {
            break; // the first frame is all that is read
        } else {
            // An error, or input that ended before the picture did (more is asked for).
            return false;
        }
    }
    if (!aside.isEmpty()) {
        for (int y = 0; y < size.height(); ++y) {
            const char *from = aside.constData() + qsizetype(y) * packedRow;
            uchar *line = result.scanLine(y);
            if (grey && alpha) {
                for (int x = 0; x < size.width(); ++x) {
                    for (int c = 0; c < 3; ++c)
                        std::memcpy(line + (4 * x + c) * sampleBytes, from + 2 * x * sampleBytes,
                                    size_t(sampleBytes));
                    std::memcpy(line + (4 * x + 3) * sampleBytes, from + (2 * x + 1) * sampleBytes,
                                size_t(sampleBytes));
                }
            } else if (format == QImage::Format_RGBX64) {
                const auto *in = reinterpret_cast<const quint16 *>(from);
                auto *out = reinterpret_cast<quint16 *>(line);
                for (int x = 0; x < size.width(); ++x) {
                    out[4 * x] = in[3 * x];
                    out[4 * x + 1] = in[3 * x + 1];
                    out[4 * x + 2] = in[3 * x + 2];
                    out[4 * x + 3] = 0xffff;
                }
            } else {
                std::memcpy(line, from, size_t(packedRow));
            }
        }
    }
    result.setColorSpace(space);
    *image = result;
    return true;
}

bool JxlHandler::supportsOption(ImageOption option) const
{
    return option == Size || option == ImageFormat || option == Animation;
}

QVariant JxlHandler::option(ImageOption option) const
{
    if (!supportsOption(option) || !readInfo())
        return {};
    switch (option) {
    case Size:
        return orientedSize(info_);
    case ImageFormat:
        return formatOf(info_);
    case Animation:
        return bool(info_.have_animation);
    default:
        return {};
    }
}

int JxlHandler::imageCount() const
{
    return readInfo() ? 1 : 0;
}

QImageIOPlugin::Capabilities JxlPlugin::capabilities(QIODevice *device, const QByteArray &format) const
{
    if (format == "jxl")
        return CanRead;
    if (!format.isEmpty() || !device || !device->isOpen())
        return {};
    return JxlHandler::canRead(device) ? CanRead : Capabilities();
}

QImageIOHandler *JxlPlugin::create(QIODevice *device, const QByteArray &format) const
{
    auto *handler = new JxlHandler;
    handler->setDevice(device);
    handler->setFormat(format.isEmpty() ? QByteArray("jxl") : format);
    return handler;
}

} // namespace imageformats
