#include "workspace/engine/finishing.h"

#include "workspace/engine/pictureDepth.h"

#include <QColorSpace>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <emmintrin.h>

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

// The working format of a picture: Format_RGB888, RGBA8888, RGBX64, RGBA64, Grayscale8 or 16.
QImage::Format workingFormat(const QImage &image)
{
    if (image.format() == QImage::Format_Grayscale8 || image.format() == QImage::Format_Grayscale16)
        return image.format();
    const bool deep = isDeep(image);
    if (image.hasAlphaChannel())
        return deep ? QImage::Format_RGBA64 : QImage::Format_RGBA8888;
    return deep ? QImage::Format_RGBX64 : QImage::Format_RGB888;
}

// Where one output pixel of an axis reads the input: the first input pixel and the normalised
// Lanczos-3 weights of it and the ones after. Taps beyond an edge are folded onto the edge pixel, so
// every tap reads inside the picture and the loops need no bounds.
struct Taps {
    std::vector<int> first;     // never decreasing along the axis
    std::vector<float> weights; // `width` a pixel
    int width = 0;
};

Taps lanczosTaps(int from, int to)
{
    constexpr double kPi = 3.14159265358979323846;
    const auto lanczos3 = [](double x) {
        if (x == 0)
            return 1.0;
        if (std::abs(x) >= 3)
            return 0.0;
        return 3 * std::sin(kPi * x) * std::sin(kPi * x / 3) / (kPi * kPi * x * x);
    };
    // Stretched where the axis shrinks, so that it still averages every input pixel it covers. The
    // kernel is not zero on the open interval of 6 x stretch around the centre: ceil(6 x stretch)
    // pixels from the first one above its left end cover it.
    const double stretch = std::max(1.0, double(from) / to);
    const int reach = int(std::ceil(6 * stretch));
    Taps taps;
    taps.width = std::min(reach, from);
    taps.first.resize(size_t(to));
    taps.weights.assign(size_t(to) * size_t(taps.width), 0.f);
    std::vector<double> raw(static_cast<size_t>(reach));
    for (int i = 0; i < to; ++i) {
        const double centre = (i + 0.5) * from / to - 0.5;
        const int first = int(std::floor(centre - 3 * stretch)) + 1;
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

// The resampler in float with premultiplied alpha, on every processor and, where it has them, in
// AVX2 with FMA (see lanczosKernels.inc). Our own rather than libvips': libvips 8.14 enlarges only
// bicubically, reduces alpha and 16-bit pictures only in float without vectors (three to four times
// Qt's smooth scaling on a 22 MP result) and loses a thousandth of every 16-bit value in fixed point.
namespace lanczos_baseline {
constexpr int kVectorBytes = 16;
#include "lanczosKernels.inc"
} // namespace lanczos_baseline
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,fma"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#endif
namespace lanczos_avx2 {
constexpr int kVectorBytes = 32;
#include "lanczosKernels.inc"
} // namespace lanczos_avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

using Resample = bool (*)(const QImage &, QImage &, const Taps &, const Taps &, const std::vector<float> &,
                          std::atomic<int> &, int);

// The AVX2 kernels where the processor runs them, unless the CPU paths are capped below AVX2 by
// ONEDNN_MAX_CPU_ISA (as the network's kernels are): that is how one machine tests both.
Resample resamplerForThisCpu()
{
    const QByteArray cap = qgetenv("ONEDNN_MAX_CPU_ISA").toUpper();
    const bool capped = cap.startsWith("SSE") || cap == "AVX";
    __builtin_cpu_init();
    if (!capped && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return lanczos_avx2::resampleImage;
    return lanczos_baseline::resampleImage;
}

// Threads that stay and rest between pictures, for the resampler's bands: on a busy machine the
// scheduler holds back a thread that has been working (as the caller has, through the network) or that
// has just been started, not one that wakes. They meet the caller through a mutex and condition
// variables of the standard library, which a race checker sees (Qt's pool meets its threads inside Qt).
class BandHelpers {
public:
    // `job` on `count` threads at once; returns when every one has finished it. One job at a time.
    void run(int count, const std::function<void()> &job)
    {
        const std::lock_guard<std::mutex> oneJob(oneAtATime);
        std::unique_lock<std::mutex> lock(mutex);
        while (int(started) < count) {
            std::thread([this] { serve(); }).detach();
            ++started;
        }
        current = &job;
        waiting = count;
        wake.notify_all();
        idle.wait(lock, [&] { return waiting == 0 && working == 0; });
        current = nullptr;
    }

private:
    void serve()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return waiting > 0; });
            --waiting;
            ++working;
            const std::function<void()> *job = current;
            lock.unlock();
            (*job)();
            lock.lock();
            if (--working == 0 && waiting == 0)
                idle.notify_all();
        }
    }

    std::mutex oneAtATime;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    const std::function<void()> *current = nullptr;
    int started = 0;
    int waiting = 0;
    int working = 0;
};

// `in` (in its working format) at `size`, the output rows split between a few threads.
QImage lanczosResized(const QImage &in, QSize size)
{
    static const Resample resample = resamplerForThisCpu();
    QImage out(size, in.format());
    if (out.isNull())
        return {};
    const Taps across = lanczosTaps(in.width(), size.width());
    const Taps down = lanczosTaps(in.height(), size.height());
    // Colour pixels are made wide two at a time, against each weight four times over.
    std::vector<float> acrossFour;
    if (in.format() != QImage::Format_Grayscale8 && in.format() != QImage::Format_Grayscale16) {
        acrossFour.resize(across.weights.size() * 4);
        for (size_t i = 0; i < acrossFour.size(); ++i)
            acrossFour[i] = across.weights[i / 4];
    }
    // Bands of rows to share between a few threads, eight a thread or more, each worth its ring.
    const int count = size.height();
    const int threads = std::clamp(std::min(QThread::idealThreadCount(), count / 64), 1, 4);
    const int bandRows = std::max({1, 4 * down.width, count / (8 * threads)});
    std::atomic<int> nextBand{0};
    std::atomic<bool> ok{true};
    const auto rows = [&] {
        if (!resample(in, out, across, down, acrossFour, nextBand, bandRows))
            ok = false;
    };
    if (threads == 1) {
        rows();
        return ok ? out : QImage();
    }
    // The bands go to the helpers and this thread waits. They live as long as the program (never
    // destroyed, so no picture's end waits for them to stop); only the resampler uses them, and one
    // picture at a time, so they are free for it.
    static BandHelpers *const helpers = new BandHelpers;
    helpers->run(threads, rows);
    return ok ? out : QImage();
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
    const QImage::Format format = workingFormat(image);
    const QImage in = image.format() == format ? image : image.convertToFormat(format);
    if (in.isNull())
        return failed(QStringLiteral("no memory to resize the picture"));
    QImage out = lanczosResized(in, size);
    if (out.isNull())
        return failed(QStringLiteral("no memory for the resized picture"));
    out.setColorSpace(image.colorSpace());
    out.setDotsPerMeterX(image.dotsPerMeterX());
    out.setDotsPerMeterY(image.dotsPerMeterY());
    return out;
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
