#include "imageformats/heif/heifHandler.h"

#include "imageformats/imageFormats.h"

#include <QColorSpace>
#include <QFile>
#include <QIODevice>
#include <QVariant>

#include <libheif/heif.h>

#include <cstring>

namespace imageformats {

namespace {

struct ContextFree {
    void operator()(heif_context *context) const { heif_context_free(context); }
};
struct HandleFree {
    void operator()(heif_image_handle *handle) const { heif_image_handle_release(handle); }
};
struct ImageFree {
    void operator()(heif_image *image) const { heif_image_release(image); }
};
struct OptionsFree {
    void operator()(heif_decoding_options *options) const { heif_decoding_options_free(options); }
};

// The sizes of the boxes of a rotation ('irot') and a mirroring ('imir') property: a header and one
// byte. libheif applies them and says nothing of them, so the file's own structure tells.
bool statesTransformation(const QByteArray &data)
{
    return data.contains(QByteArray("\0\0\0\x09irot", 8)) || data.contains(QByteArray("\0\0\0\x09imir", 8));
}

QByteArray exifOf(heif_image_handle *handle)
{
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) < 1)
        return {};
    const size_t size = heif_image_handle_get_metadata_size(handle, id);
    // The block starts with the offset of the TIFF header in 4 big-endian bytes.
    if (size < 12 || size > size_t(64) << 20)
        return {};
    QByteArray block(qsizetype(size), Qt::Uninitialized);
    if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok)
        return {};
    const quint32 offset = quint32(uchar(block[0])) << 24 | quint32(uchar(block[1])) << 16 |
                           quint32(uchar(block[2])) << 8 | quint32(uchar(block[3]));
    if (offset > size - 4 - 8)
        return {};
    return block.mid(4 + qsizetype(offset));
}

QByteArray xmpOf(heif_image_handle *handle)
{
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, "mime");
    if (count <= 0 || count > 64)
        return {};
    QList<heif_item_id> ids(count);
    heif_image_handle_get_list_of_metadata_block_IDs(handle, "mime", ids.data(), count);
    for (const heif_item_id id : ids) {
        const char *type = heif_image_handle_get_metadata_content_type(handle, id);
        if (!type || std::strcmp(type, "application/rdf+xml") != 0)
            continue;
        const size_t size = heif_image_handle_get_metadata_size(handle, id);
        if (size == 0 || size > size_t(64) << 20)
            return {};
        QByteArray packet(qsizetype(size), Qt::Uninitialized);
        if (heif_image_handle_get_metadata(handle, id, packet.data()).code != heif_error_Ok)
            return {};
        return packet;
    }
    return {};
}

QColorSpace colorSpaceOf(heif_image_handle *handle)
{
    switch (heif_image_handle_get_color_profile_type(handle)) {
    case heif_color_profile_type_prof:
    case heif_color_profile_type_rICC: {
        const size_t size = heif_image_handle_get_raw_color_profile_size(handle);
        if (size == 0 || size > size_t(64) << 20)
            return {};
        QByteArray icc(qsizetype(size), Qt::Uninitialized);
        if (heif_image_handle_get_raw_color_profile(handle, icc.data()).code != heif_error_Ok)
            return {};
        return QColorSpace::fromIccProfile(icc);
    }
    case heif_color_profile_type_nclx: {
        heif_color_profile_nclx *nclx = nullptr;
        if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok || !nclx)
            return {};
        QColorSpace space;
        // What phones write besides sRGB (which, like a JPEG without a profile, is left unstated).
        if (nclx->color_primaries == heif_color_primaries_SMPTE_EG_432_1 &&
            nclx->transfer_characteristics == heif_transfer_characteristic_IEC_61966_2_1)
            space = QColorSpace(QColorSpace::DisplayP3);
        heif_nclx_color_profile_free(nclx);
        return space;
    }
    default:
        return {};
    }
}

} // namespace

// Samples of more than 8 bits in the machine's own order, as Qt's 16-bit formats hold them.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr heif_chroma kDeep = heif_chroma_interleaved_RRGGBB_LE;
constexpr heif_chroma kDeepWithAlpha = heif_chroma_interleaved_RRGGBBAA_LE;
#else
constexpr heif_chroma kDeep = heif_chroma_interleaved_RRGGBB_BE;
constexpr heif_chroma kDeepWithAlpha = heif_chroma_interleaved_RRGGBBAA_BE;
#endif

struct HeifHandler::Parsed {
    QByteArray data; // libheif reads from it without a copy of its own
    std::unique_ptr<heif_context, ContextFree> context;
    std::unique_ptr<heif_image_handle, HandleFree> primary;
    int images = 0;
};

HeifHandler::HeifHandler() = default;
HeifHandler::~HeifHandler() = default;

bool HeifHandler::canRead(QIODevice *device)
{
    if (!device)
        return false;
    const QByteArray head = device->peek(32);
    if (head.size() < 12)
        return false;
    return heif_check_filetype(reinterpret_cast<const uint8_t *>(head.constData()), int(head.size())) ==
           heif_filetype_yes_supported;
}

bool HeifHandler::canRead() const
{
    if (parsed_)
        return true;
    if (!canRead(device()))
        return false;
    const QByteArray head = device()->peek(32);
    const auto brand = heif_main_brand(reinterpret_cast<const uint8_t *>(head.constData()), int(head.size()));
    const_cast<HeifHandler *>(this)->setFormat(brand == heif_avif || brand == heif_avis ? "avif" : "heif");
    return true;
}

bool HeifHandler::parse() const
{
    if (parseTried_)
        return bool(parsed_);
    parseTried_ = true;
    if (!device() || !canRead(device()))
        return false;
    auto parsed = std::make_unique<Parsed>();
    parsed->data = device()->readAll();
    parsed->context.reset(heif_context_alloc());
    if (!parsed->context)
        return false;
    if (heif_context_read_from_memory_without_copy(parsed->context.get(), parsed->data.constData(),
                                                   size_t(parsed->data.size()), nullptr)
            .code != heif_error_Ok)
        return false;
    heif_image_handle *primary = nullptr;
    if (heif_context_get_primary_image_handle(parsed->context.get(), &primary).code != heif_error_Ok ||
        !primary)
        return false;
    parsed->primary.reset(primary);
    parsed->images = heif_context_get_number_of_top_level_images(parsed->context.get());
    parsed_ = std::move(parsed);
    return true;
}

bool HeifHandler::read(QImage *image)
{
    if (!parse())
        return false;
    heif_image_handle *handle = parsed_->primary.get();
    const int bits = heif_image_handle_get_luma_bits_per_pixel(handle);
    const bool alpha = heif_image_handle_has_alpha_channel(handle);
    const bool deep = bits > 8;
    const heif_chroma chroma = deep ? (alpha ? kDeepWithAlpha : kDeep)
                                    : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    const bool premultiplied = alpha && heif_image_handle_is_premultiplied_alpha(handle);
    const QImage::Format format =
        deep ? (alpha ? (premultiplied ? QImage::Format_RGBA64_Premultiplied : QImage::Format_RGBA64)
                      : QImage::Format_RGBX64)
             : (alpha ? (premultiplied ? QImage::Format_RGBA8888_Premultiplied : QImage::Format_RGBA8888)
                      : QImage::Format_RGB888);
    const QSize size(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
    QImage result;
    // Refused before decoding where the picture would pass the reader's allocation limit.
    if (!QImageIOHandler::allocateImage(size, format, &result))
        return false;

    std::unique_ptr<heif_decoding_options, OptionsFree> options(heif_decoding_options_alloc());
    heif_image *decodedRaw = nullptr;
    const heif_error error =
        heif_decode_image(handle, &decodedRaw, heif_colorspace_RGB, chroma, options.get());
    std::unique_ptr<heif_image, ImageFree> decoded(decodedRaw);
    if (error.code != heif_error_Ok || !decoded)
        return false;
    int stride = 0;
    const uint8_t *plane = heif_image_get_plane_readonly(decoded.get(), heif_channel_interleaved, &stride);
    if (!plane || heif_image_get_width(decoded.get(), heif_channel_interleaved) != size.width() ||
        heif_image_get_height(decoded.get(), heif_channel_interleaved) != size.height())
        return false;
    const int stored =
        deep ? heif_image_get_bits_per_pixel_range(decoded.get(), heif_channel_interleaved) : 8;
    const qsizetype rowBytes = qsizetype(size.width()) * (deep ? 2 : 1) * (alpha ? 4 : 3);
    for (int y = 0; y < size.height(); ++y) {
        uchar *line = result.scanLine(y);
        const uint8_t *from = plane + qsizetype(y) * stride;
        if (deep && !alpha) {
            // RGBX64 keeps a fourth word a pixel, set to the maximum.
            const auto *in = reinterpret_cast<const quint16 *>(from);
            auto *out = reinterpret_cast<quint16 *>(line);
            for (int x = 0; x < size.width(); ++x) {
                out[4 * x] = in[3 * x];
                out[4 * x + 1] = in[3 * x + 1];
                out[4 * x + 2] = in[3 * x + 2];
                out[4 * x + 3] = quint16((1 << stored) - 1);
            }
        } else {
            std::memcpy(line, from, size_t(rowBytes));
        }
        if (deep)
            widenSamples(reinterpret_cast<quint16 *>(line), qsizetype(size.width()) * 4, stored);
    }
    result.setColorSpace(colorSpaceOf(handle));
    *image = result;
    return true;
}

bool HeifHandler::supportsOption(ImageOption option) const
{
    return option == Size || option == ImageFormat || option == ImageTransformation;
}

QVariant HeifHandler::option(ImageOption option) const
{
    if (!supportsOption(option) || !parse())
        return {};
    heif_image_handle *handle = parsed_->primary.get();
    switch (option) {
    case Size:
        return QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
    case ImageFormat: {
        const bool alpha = heif_image_handle_has_alpha_channel(handle);
        if (heif_image_handle_get_luma_bits_per_pixel(handle) > 8)
            return alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64;
        return alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888;
    }
    case ImageTransformation: {
        // Turned once: by the container where it says how, else by the camera's tag.
        if (statesTransformation(parsed_->data))
            return int(TransformationNone);
        return int(exifOrientation(exifOf(handle)));
    }
    default:
        return {};
    }
}

int HeifHandler::imageCount() const
{
    return parse() ? parsed_->images : 0;
}

EmbeddedMetadata heifMetadata(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    HeifHandler handler;
    handler.setDevice(&file);
    return handler.metadata();
}

EmbeddedMetadata HeifHandler::metadata() const
{
    if (!parse())
        return {};
    return {exifOf(parsed_->primary.get()), xmpOf(parsed_->primary.get())};
}

QImageIOPlugin::Capabilities HeifPlugin::capabilities(QIODevice *device, const QByteArray &format) const
{
    if (format == "heif" || format == "heic" || format == "avif")
        return CanRead;
    if (!format.isEmpty() || !device || !device->isOpen())
        return {};
    return HeifHandler::canRead(device) ? CanRead : Capabilities();
}

QImageIOHandler *HeifPlugin::create(QIODevice *device, const QByteArray &format) const
{
    auto *handler = new HeifHandler;
    handler->setDevice(device);
    handler->setFormat(format.isEmpty() ? QByteArray("heif") : format);
    return handler;
}

} // namespace imageformats
