#include "workspace/engine/finishing.h"

#include "workspace/engine/pictureDepth.h"

#include <QColorSpace>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

// GLib names a member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <vips/vips.h>
#pragma pop_macro("signals")

namespace engine {

namespace {

// side * num / den to the nearest pixel, halves up, and at least 1.
int scaledSide(int side, qint64 num, qint64 den)
{
    return int(std::max<qint64>(1, (2 * qint64(side) * num + den) / (2 * den)));
}

QSize targetFor(QSize source, const OutputSize &asked)
{
    const int w = source.width();
    const int h = source.height();
    switch (asked.form) {
    case OutputSize::Form::NetworkScale:
        break;
    case OutputSize::Form::Width:
        return {asked.width, scaledSide(h, asked.width, w)};
    case OutputSize::Form::Height:
        return {scaledSide(w, asked.height, h), asked.height};
    case OutputSize::Form::Fit: {
        const int byWidth = scaledSide(h, asked.width, w);
        if (byWidth <= asked.height)
            return {asked.width, byWidth};
        return {scaledSide(w, asked.height, h), asked.height};
    }
    case OutputSize::Form::LongSide:
        return w >= h ? QSize(asked.width, scaledSide(h, asked.width, w))
                      : QSize(scaledSide(w, asked.width, h), asked.width);
    case OutputSize::Form::Factor:
        return {int(std::max(1L, std::lround(w * asked.factor))),
                int(std::max(1L, std::lround(h * asked.factor)))};
    }
    return {};
}

} // namespace

SizePlan planSize(QSize source, int scale, const OutputSize &asked)
{
    SizePlan plan;
    if (source.isEmpty() || scale < 1) {
        plan.error = QStringLiteral("no picture");
        return plan;
    }
    plan.networkSize = source * scale;
    if (asked.isNetworkScale()) {
        plan.target = plan.networkSize;
        return plan;
    }
    const QSize target = targetFor(source, asked);
    if (target.isEmpty()) {
        plan.error = QStringLiteral("no size asked for");
        return plan;
    }
    if (target.width() > kLargestFactor * source.width() ||
        target.height() > kLargestFactor * source.height()) {
        plan.error =
            QStringLiteral("the size asked for, %1 x %2, is more than %3 times the picture (%4 x %5)")
                .arg(target.width())
                .arg(target.height())
                .arg(kLargestFactor)
                .arg(source.width())
                .arg(source.height());
        return plan;
    }
    // The fewest passes whose result covers the target on both sides; a network that keeps the size
    // cannot do better than one.
    while (scale > 1 &&
           (plan.networkSize.width() < target.width() || plan.networkSize.height() < target.height())) {
        plan.networkSize *= scale;
        ++plan.passes;
    }
    plan.target = target;
    return plan;
}

namespace {

// vips keeps its state per process: started once, by whichever thread resizes first.
bool vipsReady()
{
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        if (VIPS_INIT("brivelle") != 0)
            return;
        // The network and the writer run beside the resampler; a few threads are enough.
        vips_concurrency_set(std::clamp(QThread::idealThreadCount(), 1, 4));
        // Cached operations would keep the wrapped pictures' memory referenced after a call.
        vips_cache_set_max(0);
        ready = true;
    });
    return ready;
}

// One reference of a vips image, dropped when it goes.
class VipsRef {
public:
    VipsRef() = default;
    ~VipsRef()
    {
        if (image)
            g_object_unref(image);
    }
    VipsRef(const VipsRef &) = delete;
    VipsRef &operator=(const VipsRef &) = delete;
    VipsImage **out() { return &image; }
    VipsImage *get() const { return image; }

private:
    VipsImage *image = nullptr;
};

// How a picture is laid out for vips: its Qt format, bands and band format.
struct Layout {
    QImage::Format format;
    int bands;
    VipsBandFormat band;
    bool alpha;

    int channelBytes() const { return band == VIPS_FORMAT_USHORT ? 2 : 1; }
    qsizetype rowBytes(int width) const { return qsizetype(width) * bands * channelBytes(); }
};

Layout layoutFor(const QImage &image)
{
    const bool deep = isDeep(image);
    if (image.format() == QImage::Format_Grayscale8)
        return {QImage::Format_Grayscale8, 1, VIPS_FORMAT_UCHAR, false};
    if (image.format() == QImage::Format_Grayscale16)
        return {QImage::Format_Grayscale16, 1, VIPS_FORMAT_USHORT, false};
    if (image.hasAlphaChannel())
        return deep ? Layout{QImage::Format_RGBA64, 4, VIPS_FORMAT_USHORT, true}
                    : Layout{QImage::Format_RGBA8888, 4, VIPS_FORMAT_UCHAR, true};
    return deep ? Layout{QImage::Format_RGBX64, 4, VIPS_FORMAT_USHORT, false}
                : Layout{QImage::Format_RGB888, 3, VIPS_FORMAT_UCHAR, false};
}

// Where one output pixel of an axis reads the input: the first input pixel and the normalised
// Lanczos-3 weights of it and the ones after. Taps beyond an edge are folded onto the edge pixel, so
// every tap reads inside the picture and the loops need no bounds.
struct Taps {
    std::vector<int> first;
    std::vector<float> weights; // `width` a pixel
    int width = 0;
};

Taps lanczosTaps(int from, int to)
{
    constexpr double kPi = 3.14159265358979323846;
    const auto lanczos3 = [kPi](double x) {
        if (x == 0)
            return 1.0;
        if (std::abs(x) >= 3)
            return 0.0;
        return 3 * std::sin(kPi * x) * std::sin(kPi * x / 3) / (kPi * kPi * x * x);
    };
    // Stretched where the axis shrinks, so that it still averages every input pixel it covers.
    const double stretch = std::max(1.0, double(from) / to);
    const int reach = int(std::ceil(3 * stretch)) * 2 + 1;
    Taps taps;
    taps.width = std::min(reach, from);
    taps.first.resize(size_t(to));
    taps.weights.assign(size_t(to) * size_t(taps.width), 0.f);
    std::vector<double> raw(static_cast<size_t>(reach));
    for (int i = 0; i < to; ++i) {
        const double centre = (i + 0.5) * from / to - 0.5;
        const int first = int(std::floor(centre)) - reach / 2;
        const int start = std::clamp(first, 0, from - taps.width);
        double sum = 0;
        for (int k = 0; k < reach; ++k) {
            raw[size_t(k)] = lanczos3((first + k - centre) / stretch);
            sum += raw[size_t(k)];
        }
        float *w = &taps.weights[size_t(i) * size_t(taps.width)];
        for (int k = 0; k < reach; ++k)
            w[std::clamp(first + k, 0, from - 1) - start] += float(raw[size_t(k)] / sum);
        taps.first[size_t(i)] = start;
    }
    return taps;
}

// Runs body(begin, end) over [0, count) on a few threads.
template <typename Body> void inParallel(int count, Body body)
{
    const int threads = std::clamp(std::min(QThread::idealThreadCount(), count / 64), 1, 4);
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t)
        workers.emplace_back(body, count * t / threads, count * (t + 1) / threads);
    body(0, count / threads);
    for (std::thread &worker : workers)
        worker.join();
}

// A separable Lanczos-3 resampling in float with premultiplied alpha, `Bands` channels of T (the
// last one alpha when `Alpha`), for sizes where a side grows: libvips 8.14 reduces with Lanczos-3 but
// enlarges only with bicubic interpolation.
template <typename T, int Bands, bool Alpha>
QImage lanczosResized(const QImage &in, QSize size, QImage::Format format)
{
    QImage out(size, format);
    if (out.isNull())
        return {};
    constexpr float top = sizeof(T) == 2 ? 65535.f : 255.f;
    const Taps across = lanczosTaps(in.width(), size.width());
    const Taps down = lanczosTaps(in.height(), size.height());
    const size_t stride = size_t(size.width()) * Bands;

    // Rows of the input made `size.width()` wide, premultiplied by their alpha.
    std::vector<float> rows(size_t(in.height()) * stride);
    inParallel(in.height(), [&](int begin, int end) {
        std::vector<float> line(size_t(in.width()) * Bands);
        for (int y = begin; y < end; ++y) {
            const T *from = reinterpret_cast<const T *>(in.constScanLine(y));
            for (int x = 0; x < in.width(); ++x) {
                const float alpha = Alpha ? from[x * Bands + Bands - 1] * (1.f / top) : 1.f;
                for (int b = 0; b < Bands; ++b)
                    line[size_t(x * Bands + b)] =
                        Alpha && b == Bands - 1 ? float(from[x * Bands + b]) : from[x * Bands + b] * alpha;
            }
            float *to = &rows[size_t(y) * stride];
            for (int x = 0; x < size.width(); ++x) {
                const float *w = &across.weights[size_t(x) * size_t(across.width)];
                const float *p = &line[size_t(across.first[size_t(x)]) * Bands];
                float sum[Bands] = {};
                for (int k = 0; k < across.width; ++k)
                    for (int b = 0; b < Bands; ++b)
                        sum[b] += w[k] * p[k * Bands + b];
                for (int b = 0; b < Bands; ++b)
                    to[size_t(x) * Bands + b] = sum[b];
            }
        }
    });
    inParallel(size.height(), [&](int begin, int end) {
        std::vector<float> line(stride);
        for (int y = begin; y < end; ++y) {
            std::fill(line.begin(), line.end(), 0.f);
            const float *w = &down.weights[size_t(y) * size_t(down.width)];
            for (int k = 0; k < down.width; ++k) {
                const float *row = &rows[size_t(down.first[size_t(y)] + k) * stride];
                const float weight = w[k];
                for (size_t i = 0; i < stride; ++i)
                    line[i] += weight * row[i];
            }
            T *to = reinterpret_cast<T *>(out.scanLine(y));
            for (int x = 0; x < size.width(); ++x) {
                const float *pixel = &line[size_t(x) * Bands];
                // The colour by the alpha it was premultiplied with, even where the kernel's lobes
                // took the alpha beyond its range.
                const float alpha = Alpha ? pixel[Bands - 1] : top;
                const float unpremultiply = Alpha ? (alpha > 0 ? top / alpha : 0.f) : 1.f;
                for (int b = 0; b < Bands; ++b) {
                    const float value = Alpha && b == Bands - 1 ? alpha : pixel[b] * unpremultiply;
                    to[x * Bands + b] = T(std::clamp(value, 0.f, top) + 0.5f);
                }
            }
        }
    });
    return out;
}

QImage lanczosInLayout(const QImage &in, QSize size, const Layout &layout)
{
    switch (layout.format) {
    case QImage::Format_Grayscale8:
        return lanczosResized<uchar, 1, false>(in, size, layout.format);
    case QImage::Format_Grayscale16:
        return lanczosResized<quint16, 1, false>(in, size, layout.format);
    case QImage::Format_RGBA8888:
        return lanczosResized<uchar, 4, true>(in, size, layout.format);
    case QImage::Format_RGBA64:
        return lanczosResized<quint16, 4, true>(in, size, layout.format);
    case QImage::Format_RGBX64:
        return lanczosResized<quint16, 4, false>(in, size, layout.format);
    default:
        return lanczosResized<uchar, 3, false>(in, size, layout.format);
    }
}

QString vipsFailure(const char *step)
{
    const QString why = QString::fromUtf8(vips_error_buffer()).trimmed();
    vips_error_clear();
    return QStringLiteral("cannot resize the picture (%1): %2").arg(QLatin1String(step), why);
}

} // namespace

QImage resizedPicture(const QImage &image, QSize size, QString *error)
{
    auto failed = [error](const QString &why) {
        if (error)
            *error = why;
        return QImage();
    };
    if (image.isNull() || size.isEmpty())
        return failed(QStringLiteral("no picture to resize"));
    const Layout layout = layoutFor(image);
    const QImage in = image.format() == layout.format ? image : image.convertToFormat(layout.format);
    if (in.isNull())
        return failed(QStringLiteral("no memory to resize the picture"));
    const auto described = [&image](QImage out) {
        out.setColorSpace(image.colorSpace());
        out.setDotsPerMeterX(image.dotsPerMeterX());
        out.setDotsPerMeterY(image.dotsPerMeterY());
        return out;
    };
    if (size.width() > in.width() || size.height() > in.height()) {
        QImage out = lanczosInLayout(in, size, layout);
        if (out.isNull())
            return failed(QStringLiteral("no memory for the resized picture"));
        return described(std::move(out));
    }
    if (!vipsReady())
        return failed(QStringLiteral("the resampler (libvips) does not start"));

    // vips reads rows without gaps; Qt pads them to 4 bytes.
    const qsizetype rowBytes = layout.rowBytes(in.width());
    QByteArray packed;
    const void *pixels = in.constBits();
    if (in.bytesPerLine() != rowBytes) {
        packed.resize(rowBytes * in.height());
        for (int y = 0; y < in.height(); ++y)
            std::memcpy(packed.data() + y * rowBytes, in.constScanLine(y), size_t(rowBytes));
        pixels = packed.constData();
    }

    VipsRef source;
    *source.out() = vips_image_new_from_memory(pixels, size_t(rowBytes * in.height()), in.width(),
                                               in.height(), layout.bands, layout.band);
    if (!source.get())
        return failed(vipsFailure("wrap"));
    const double maxAlpha = layout.channelBytes() == 2 ? 65535.0 : 255.0;
    // vips' fixed-point reduction of 16-bit bands loses about a thousandth of every value; in float
    // it is exact. Premultiplied alpha is float too.
    const bool inFloat = layout.alpha || layout.channelBytes() == 2;
    VipsRef premultiplied, resized, straight, rounded, cast;
    VipsImage *step = source.get();
    if (layout.alpha) {
        if (vips_premultiply(step, premultiplied.out(), "max_alpha", maxAlpha, nullptr) != 0)
            return failed(vipsFailure("premultiply"));
        step = premultiplied.get();
    } else if (inFloat) {
        if (vips_cast(step, premultiplied.out(), VIPS_FORMAT_FLOAT, nullptr) != 0)
            return failed(vipsFailure("float"));
        step = premultiplied.get();
    }
    // gap 0: a true Lanczos-3 reduction, never a box filter first. Neither side grows here.
    if (vips_resize(step, resized.out(), double(size.width()) / in.width(), "vscale",
                    double(size.height()) / in.height(), "kernel", VIPS_KERNEL_LANCZOS3, "gap", 0.0,
                    nullptr) != 0)
        return failed(vipsFailure("resize"));
    step = resized.get();
    if (layout.alpha) {
        if (vips_unpremultiply(step, straight.out(), "max_alpha", maxAlpha, nullptr) != 0)
            return failed(vipsFailure("unpremultiply"));
        step = straight.get();
    }
    if (inFloat) {
        if (vips_rint(step, rounded.out(), nullptr) != 0 ||
            vips_cast(rounded.get(), cast.out(), layout.band, nullptr) != 0)
            return failed(vipsFailure("round"));
        step = cast.get();
    }
    if (vips_image_get_width(step) != size.width() || vips_image_get_height(step) != size.height())
        return failed(
            QStringLiteral("cannot resize the picture: the resampler made %1 x %2 instead of %3 x %4")
                .arg(vips_image_get_width(step))
                .arg(vips_image_get_height(step))
                .arg(size.width())
                .arg(size.height()));

    QImage out(size, layout.format);
    if (out.isNull())
        return failed(QStringLiteral("no memory for the resized picture"));
    const qsizetype outRow = layout.rowBytes(size.width());
    if (out.bytesPerLine() == outRow) {
        // Rows without gaps: vips computes straight into the picture.
        VipsRef target;
        *target.out() = vips_image_new_from_memory(out.bits(), size_t(outRow) * size_t(size.height()),
                                                   size.width(), size.height(), layout.bands, layout.band);
        if (!target.get() || vips_image_write(step, target.get()) != 0)
            return failed(vipsFailure("compute"));
        return described(std::move(out));
    }
    size_t bytes = 0;
    void *memory = vips_image_write_to_memory(step, &bytes);
    if (!memory)
        return failed(vipsFailure("compute"));
    if (bytes == size_t(outRow) * size_t(size.height())) {
        for (int y = 0; y < size.height(); ++y)
            std::memcpy(out.scanLine(y), static_cast<const uchar *>(memory) + y * outRow, size_t(outRow));
    }
    g_free(memory);
    if (bytes != size_t(outRow) * size_t(size.height()))
        return failed(QStringLiteral("cannot resize the picture: the resampler gave %1 bytes").arg(bytes));
    return described(std::move(out));
}

namespace {

template <typename T>
void blendRows(QImage &mixed, const QImage &network, const QImage &plain, qsizetype values, int strength)
{
    const int rest = 100 - strength;
    for (int y = 0; y < mixed.height(); ++y) {
        const auto *a = reinterpret_cast<const T *>(network.constScanLine(y));
        const auto *b = reinterpret_cast<const T *>(plain.constScanLine(y));
        auto *to = reinterpret_cast<T *>(mixed.scanLine(y));
        for (qsizetype i = 0; i < values; ++i)
            to[i] = T((quint32(a[i]) * quint32(strength) + quint32(b[i]) * quint32(rest) + 50) / 100);
    }
}

} // namespace

QImage blendByStrength(const QImage &network, const QImage &plain, int strength)
{
    if (network.isNull() || plain.size() != network.size())
        return {};
    if (strength >= 100)
        return network;
    const QImage::Format format = network.format();
    const QImage other = plain.format() == format ? plain : plain.convertToFormat(format);
    QImage mixed(network.size(), format);
    if (other.isNull() || mixed.isNull())
        return {};
    const int bits = network.depth();
    const bool wide = format == QImage::Format_RGBX64 || format == QImage::Format_RGBA64 ||
                      format == QImage::Format_Grayscale16;
    const qsizetype values = qsizetype(network.width()) * bits / (wide ? 16 : 8);
    if (wide)
        blendRows<quint16>(mixed, network, other, values, std::max(strength, 0));
    else
        blendRows<uchar>(mixed, network, other, values, std::max(strength, 0));
    mixed.setColorSpace(network.colorSpace());
    mixed.setDotsPerMeterX(network.dotsPerMeterX());
    mixed.setDotsPerMeterY(network.dotsPerMeterY());
    return mixed;
}

UpscaleResult upscaleAndFinish(const Upscaler &upscaler, const QImage &source, bool grey,
                               const Finishing &finishing, const ProgressObserver &observer, StopRequest stop,
                               SizePlan *planOut)
{
    return upscaleAndFinish(upscaler, Picture::decoded(source, grey), finishing, observer, stop, planOut);
}

UpscaleResult upscaleAndFinish(const Upscaler &upscaler, const Picture &picture, const Finishing &finishing,
                               const ProgressObserver &observer, StopRequest stop, SizePlan *planOut)
{
    const QImage &source = picture.image;
    const SizePlan plan = planSize(source.size(), upscaler.scale(), finishing.size);
    if (planOut)
        *planOut = plan;
    if (source.isNull() || finishing.isDefault())
        return upscaler.upscale(picture, observer, stop);
    if (!plan.ok())
        return {{}, UpscaleResult::Status::Failed, plan.error, 0};

    UpscaleResult result = upscaler.upscale(picture, observer, stop);
    // Each further pass enlarges the last result, which already carries its alpha and its grey; it is
    // described again, since a soft alpha may have become opaque once enlarged.
    for (int pass = 2; pass <= plan.passes && result.isOk(); ++pass) {
        QImage previous = std::move(result.image);
        result = upscaler.upscale(Picture::decoded(std::move(previous), result.grey), observer, stop);
    }
    if (!result.isOk())
        return result;

    const auto failed = [&result](const QString &why) {
        return UpscaleResult{{}, UpscaleResult::Status::Failed, why, result.tileSize};
    };
    QString why;
    if (plan.resizes()) {
        result.image = resizedPicture(result.image, plan.target, &why);
        if (result.image.isNull())
            return failed(why);
    }
    if (finishing.strength < 100) {
        const QImage plain = resizedPicture(source, plan.target, &why);
        if (plain.isNull())
            return failed(why);
        result.image = blendByStrength(result.image, plain, finishing.strength);
        if (result.image.isNull())
            return failed(QStringLiteral("no memory to blend by the strength"));
    }
    return result;
}

} // namespace engine
