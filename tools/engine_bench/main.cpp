// Where the time of an upscale goes: inside the network, or in the engine around it (extension,
// tile copies, pixel conversions, joining, and for the batch decode and encode).
//
//   brivelle_engine_bench image <model-dir> <name> <scale> [width height [tile]]
//   brivelle_engine_bench batch <model-dir> <name> <scale> [count size [gpu]]
//   brivelle_engine_bench trace <model-dir> <name> <scale> <tile> WxH...
//     a batch of photograph-like pictures of these sizes, and on stdout every progress report the
//     window's time estimate reads, with the milliseconds since the batch started: the recordings the
//     estimate's replay test reads (tests/workspace/data/*.trace).
//   brivelle_engine_bench fidelity <model-dir> <name> <scale> width height tile...
//     the tiled pass at each tile against one inference of the whole picture: PSNR over the picture,
//     over its right-most 16 output columns and away from them, and the largest difference.
//   brivelle_engine_bench write [width height | result.png] [sweep]
//     the PNG write of one result (default 5128x4440, 22 MP): Qt's writer at its defaults, as results
//     used to be written, against the encoder the batch uses, on an enlarged photograph-like picture
//     and on a grainy one, or on a result read from a file; time and size of each. sweep adds a table
//     of zlib levels, filters and strategies (into memory).
//   brivelle_engine_bench resize [width height [runs]]
//     the downscale of an x4 result (default 5428x4052, 22 MP) to 3/4 (--factor 3) and to 1/3: the
//     finishing stage's Lanczos-3 against Qt's smooth scaling (and libvips' Lanczos-3 where the bench
//     is built with it), RGB888, RGBA8888, RGBX64 and RGBA64, with each one's difference from libvips
//     in float; and the x4 enlargement of its source that --strength blends in.
//   brivelle_engine_bench alpha <model-dir> <name> <scale> [size]
//     compares the two colour sources for transparent images (the source as it is, or flattened on
//     white) on a soft-edged picture: the error of each, composited on black and on white, against
//     the smoothly enlarged source composited the same way, over the pixels that are partly clear.
//
// <name> is the file name of the pair without suffix (realesrgan-x4plus, or a generated model).
#include "base/platform/platform.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/finishing.h"
#include "workspace/engine/imageOutput.h"
#include "workspace/engine/networkInference.h"
#include "workspace/engine/pngOutput.h"
#include "workspace/engine/resultMark.h"
#include "workspace/engine/tileSize.h"
#include "workspace/engine/tiledPass.h"
#include "workspace/engine/transparency.h"
#include "workspace/engine/upscaler.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtConcurrent>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include <ncnn/gpu.h>
#include <ncnn/net.h>

#include <ctime>

#if BRIVELLE_BENCH_VIPS
// GLib names a member "signals", which Qt defines as a keyword.
#pragma push_macro("signals")
#undef signals
#include <vips/vips.h>
#pragma pop_macro("signals")
#endif

namespace {

// Smooth shading, a few hard-edged shapes and fine grain: closer to a photograph than noise or flat
// colour, both of which let some layers take shortcuts.
QImage photoLike(int width, int height, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width;
            const double v = double(y) / height;
            const int grain = int(random.bounded(17)) - 8;
            line[3 * x] = uchar(qBound(0, int(120 + 90 * std::sin(6 * u + 2 * v)) + grain, 255));
            line[3 * x + 1] = uchar(qBound(0, int(110 + 80 * std::cos(5 * v - 3 * u)) + grain, 255));
            line[3 * x + 2] = uchar(qBound(0, int(100 + 70 * std::sin(9 * u * v)) + grain, 255));
        }
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 12; ++i) {
        painter.setBrush(QColor::fromRgb(random.generate()));
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPointF(random.bounded(width), random.bounded(height)),
                            10 + random.bounded(width / 8), 10 + random.bounded(height / 8));
    }
    return image;
}

bool loadNet(ncnn::Net &net, const QString &dir, const QString &name)
{
    net.opt.use_vulkan_compute = false;
    net.opt.use_fp16_packed = false;
    net.opt.use_fp16_storage = false;
    net.opt.use_fp16_arithmetic = false;
    net.opt.num_threads = 4;
    net.opt.use_packing_layout = true;
    const QString base = dir + QLatin1Char('/') + name;
    if (net.load_param((base + QStringLiteral(".param")).toUtf8().constData()) != 0 ||
        net.load_model((base + QStringLiteral(".bin")).toUtf8().constData()) != 0) {
        std::fprintf(stderr, "cannot load %s: %s\n", qPrintable(base), net.last_error().c_str());
        return false;
    }
    return true;
}

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

int budgetTile()
{
    return engine::tileSizeForBudget(std::uint32_t(Platform::availablePhysicalMemory() >> 20));
}

int benchImage(const ncnn::Net &net, int scale, int width, int height, int tile)
{
    const QImage source = photoLike(width, height, 1);
    qint64 networkNs = 0;
    QElapsedTimer total;
    total.start();
    const engine::TiledPassResult result = engine::runTiledPass(
        source, tile, scale, [&](const QImage &t) { return engine::inferImage(net, t, &networkNs); });
    const double seconds = total.nsecsElapsed() / 1e9;
    if (!result.isOk()) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(result.reason));
        return 1;
    }
    const double inside = networkNs / 1e9;
    std::printf("image %dx%d x%d tile %d: total %.3f s, network %.3f s, outside %.3f s (%.2f%%)\n", width,
                height, scale, result.tileSize, seconds, inside, seconds - inside,
                100.0 * (seconds - inside) / seconds);
    return 0;
}

// Photograph-like JPEGs of these sizes in `folder`, seeded from `firstSeed` on.
QStringList photoFiles(const QTemporaryDir &folder, const QList<QSize> &sizes, quint32 firstSeed)
{
    QStringList paths;
    for (const QSize &size : sizes) {
        paths << folder.filePath(QStringLiteral("photo%1.jpg").arg(paths.size()));
        photoLike(size.width(), size.height(), firstSeed + quint32(paths.size() - 1))
            .save(paths.last(), "JPEG", 92);
    }
    return paths;
}

// The network <dir>/<name>.param at `scale` on `device`; null, having said why, when it does not load.
std::shared_ptr<engine::Upscaler> loadUpscaler(const QString &dir, const QString &name, int scale,
                                               engine::Device device, int fixedTileSize = 0)
{
    engine::Upscaler::Config config;
    config.modelParam = QDir(dir).absoluteFilePath(name) + QStringLiteral(".param");
    config.scale = scale;
    config.device = device;
    config.fixedTileSize = fixedTileSize;
    QString error;
    std::shared_ptr<engine::Upscaler> upscaler = engine::Upscaler::load(config, &error);
    if (!upscaler)
        std::fprintf(stderr, "cannot load %s: %s\n", qPrintable(name), qPrintable(error));
    return upscaler;
}

int benchBatch(const QString &dir, const QString &name, int scale, int count, int size, bool gpu)
{
    QTemporaryDir in;
    QTemporaryDir out;
    const QStringList paths = photoFiles(in, QList<QSize>(count, QSize(size, size)), 10);
    if (gpu)
        ncnn::create_gpu_instance();
    std::shared_ptr<engine::Upscaler> upscaler =
        loadUpscaler(dir, name, scale, gpu ? engine::Device::gpu(0) : engine::Device::cpu());
    if (!upscaler)
        return 1;
    std::atomic<bool> cancel{false};
    auto job = std::make_unique<engine::BatchJob>(out.path(), upscaler, &cancel);

    // The GUI thread's longest gap between two timer ticks while the worker runs.
    qint64 longestStallNs = 0;
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestStallNs = std::max(longestStallNs, sinceTick.nsecsElapsed());
        sinceTick.restart();
    });
    QFutureWatcher<void> watcher;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, qApp, &QCoreApplication::quit);
    QElapsedTimer total;
    total.start();
    sinceTick.start();
    tick.start();
    const double cpuStart = processCpuSeconds();
    watcher.setFuture(QtConcurrent::run([&] { job->run(paths); }));
    QCoreApplication::exec();
    const double seconds = total.nsecsElapsed() / 1e9;
    const double cpu = processCpuSeconds() - cpuStart;
    const double inside = upscaler->networkNanoseconds() / 1e9;
    std::printf("batch of %d %dx%d x%d on %s: %d written, wall %.3f s (%.3f s per picture), network %.3f s, "
                "outside %.2f%% of wall; process CPU %.2f s; longest GUI stall %.1f ms (5 ms ticks)\n",
                count, size, size, scale, gpu ? "GPU 0" : "CPU", int(job->summary().written.size()), seconds,
                seconds / count, inside, 100.0 * (seconds - inside) / seconds, cpu, longestStallNs / 1e6);
    const bool ok = job->summary().failures.isEmpty();
    job.reset();
    upscaler.reset();
    if (gpu)
        ncnn::destroy_gpu_instance();
    return ok ? 0 : 1;
}

// Trace lines: "size W H" per picture, "tile EDGE MULTIPLE", then "<ms> start <index>" and
// "<ms> tiles <done> <total>" as the job reports them, and "<ms> end" once it has written the last.
int traceBatch(const QString &dir, const QString &name, int scale, int tile, const QStringList &sizeArgs)
{
    QList<QSize> sizes;
    for (const QString &arg : sizeArgs) {
        const QStringList wh = arg.split(QLatin1Char('x'));
        sizes << QSize(wh.value(0).toInt(), wh.value(1).toInt());
        if (sizes.last().isEmpty()) {
            std::fprintf(stderr, "not a size: %s\n", qPrintable(arg));
            return 2;
        }
        std::printf("size %d %d\n", sizes.last().width(), sizes.last().height());
    }
    QTemporaryDir in;
    QTemporaryDir out;
    const QStringList paths = photoFiles(in, sizes, 11);
    const std::shared_ptr<engine::Upscaler> upscaler =
        loadUpscaler(dir, name, scale, engine::Device::cpu(), tile);
    if (!upscaler)
        return 1;
    std::printf("tile %d %d\n", upscaler->tileSize(), upscaler->inputMultiple());
    std::atomic<bool> cancel{false};
    engine::BatchJob job(out.path(), upscaler, &cancel);
    QElapsedTimer clock;
    // Reports reach the window queued, as they reach this thread.
    QObject::connect(&job, &engine::BatchJob::pictureStarted, qApp, [&](int index, int, const QString &) {
        std::printf("%lld start %d\n", clock.elapsed(), index);
    });
    QObject::connect(&job, &engine::BatchJob::tileProgress, qApp, [&](int done, int total) {
        std::printf("%lld tiles %d %d\n", clock.elapsed(), done, total);
    });
    QObject::connect(&job, &engine::BatchJob::tileAdvanced, qApp, [&](double done, int total) {
        std::printf("%lld tiles %.4f %d\n", clock.elapsed(), done, total);
    });
    QFutureWatcher<void> watcher;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, qApp, [&] {
        std::printf("%lld end\n", clock.elapsed());
        QCoreApplication::quit();
    });
    clock.start();
    watcher.setFuture(QtConcurrent::run([&] { job.run(paths); }));
    QCoreApplication::exec();
    return job.summary().failures.isEmpty() ? 0 : 1;
}

// A disc of colours with an edge that fades out over a quarter of its radius, on clear black.
QImage softEdged(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    const double r = size * 0.4;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const double d = std::hypot(x - size / 2.0, y - size / 2.0);
            const double a = qBound(0.0, (r - d) / (r / 4), 1.0);
            image.setPixel(x, y,
                           qRgba(int(200 + 55 * std::sin(x * 0.2)), int(40 + 40 * std::cos(y * 0.15)),
                                 int(60 + 50 * std::sin((x + y) * 0.1)), int(std::lround(255 * a))));
        }
    }
    return image;
}

double bandError(const QImage &merged, const QImage &ideal, QRgb background)
{
    double sum = 0;
    qint64 count = 0;
    for (int y = 0; y < merged.height(); ++y) {
        for (int x = 0; x < merged.width(); ++x) {
            const QRgb m = merged.pixel(x, y);
            const QRgb i = ideal.pixel(x, y);
            if (qAlpha(i) == 0 || qAlpha(i) == 255)
                continue;
            auto over = [background](QRgb p, int channel) {
                const int c = channel == 0 ? qRed(p) : channel == 1 ? qGreen(p) : qBlue(p);
                const int b = channel == 0   ? qRed(background)
                              : channel == 1 ? qGreen(background)
                                             : qBlue(background);
                return (c * qAlpha(p) + b * (255 - qAlpha(p))) / 255.0;
            };
            for (int c = 0; c < 3; ++c)
                sum += std::abs(over(m, c) - over(i, c));
            ++count;
        }
    }
    return count ? sum / (3.0 * count) : 0;
}

int compareAlpha(const ncnn::Net &net, int scale, int size)
{
    const QImage source = softEdged(size);
    const QImage alpha = engine::extractAlphaPlane(engine::Picture::decoded(source));
    const QImage ideal =
        source.scaled(source.size() * scale, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    auto upscale = [&](const QImage &colour) {
        return engine::runTiledPass(colour, 64, scale,
                                    [&](const QImage &t) { return engine::inferImage(net, t); })
            .image;
    };
    const struct {
        const char *name;
        QImage colour;
    } choices[] = {{"as is", source}, {"flattened on white", engine::flattenOnWhite(source)}};
    for (const auto &choice : choices) {
        const QImage merged =
            engine::mergeAlpha(upscale(choice.colour), alpha, 8).convertToFormat(QImage::Format_ARGB32);
        if (merged.isNull())
            return 1;
        std::printf(
            "%-20s mean error over partly clear pixels: on black %.2f, on white %.2f (8-bit levels)\n",
            choice.name, bandError(merged, ideal, qRgb(0, 0, 0)),
            bandError(merged, ideal, qRgb(255, 255, 255)));
    }
    return 0;
}

double psnr(const QImage &a, const QImage &b, int *largest)
{
    double squares = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width() * 3; ++x) {
            const int d = a.constScanLine(y)[x] - b.constScanLine(y)[x];
            squares += double(d) * d;
            *largest = std::max(*largest, std::abs(d));
        }
    }
    return squares == 0 ? 999.0 : 10 * std::log10(255.0 * 255.0 * 3 * a.width() * a.height() / squares);
}

int fidelity(const ncnn::Net &net, int scale, QSize size, const QList<int> &tiles)
{
    const QImage source = photoLike(size.width(), size.height(), 3);
    const int multiple = scale == 2 ? 2 : 1;
    const QSize padded((size.width() + multiple - 1) / multiple * multiple,
                       (size.height() + multiple - 1) / multiple * multiple);
    const engine::TileInference whole = engine::inferImage(net, engine::padByRepeating(source, padded));
    if (whole.status != engine::TileInference::Status::Done) {
        std::fprintf(stderr, "whole picture failed: %s\n", qPrintable(whole.reason));
        return 1;
    }
    const QImage reference = whole.image.copy(QRect(QPoint(0, 0), size * scale));
    const int edge = 16;
    const QRect right(reference.width() - edge, 0, edge, reference.height());
    const QRect inner(0, 0, reference.width() - edge, reference.height());
    for (const int tile : tiles) {
        const engine::TiledPassResult tiled = engine::runTiledPass(
            source, tile, scale, [&](const QImage &in) { return engine::inferImage(net, in); }, {}, multiple);
        if (!tiled.isOk()) {
            std::fprintf(stderr, "tile %d failed: %s\n", tile, qPrintable(tiled.reason));
            return 1;
        }
        int largest = 0;
        int ignored = 0;
        const double all = psnr(tiled.image, reference, &largest);
        const double atEdge = psnr(tiled.image.copy(right), reference.copy(right), &ignored);
        const double away = psnr(tiled.image.copy(inner), reference.copy(inner), &ignored);
        std::printf("%dx%d x%d tile %d: %.1f dB (right %d columns %.1f dB, elsewhere %.1f dB), largest "
                    "difference %d\n",
                    size.width(), size.height(), scale, tile, all, edge, atEdge, away, largest);
    }
    return 0;
}

// The better of two runs: the machine is shared.
template <typename Write> double bestSeconds(Write write)
{
    double best = 1e9;
    for (int run = 0; run < 2; ++run) {
        QElapsedTimer clock;
        clock.start();
        if (!write())
            return -1;
        best = std::min(best, clock.nsecsElapsed() / 1e9);
    }
    return best;
}

int benchWrite(const QStringList &args)
{
    const bool sweep = args.last() == QLatin1String("sweep");
    QList<QPair<const char *, QImage>> pictures;
    if (args.size() > 2 && QFileInfo(args.at(2)).isFile()) {
        // A 22 MP result at 16 bits is larger than the reader's default limit.
        QImageReader::setAllocationLimit(0);
        pictures.append({"file", QImage(args.at(2))});
    } else {
        const int width = args.size() > 3 ? args.at(2).toInt() : 5128;
        const int height = args.size() > 3 ? args.at(3).toInt() : 4440;
        // An enlarged picture is smooth between its edges; the grainy one is the hard case for zlib.
        pictures.append(
            {"enlarged", photoLike(width / 4, height / 4, 3)
                             .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                             .convertToFormat(QImage::Format_RGB888)});
        pictures.append({"grainy", photoLike(width, height, 4)});
    }
    QTemporaryDir dir;
    // Plain references, not structured bindings: clang 14 lets no lambda capture those.
    for (const auto &picture : pictures) {
        const char *const name = picture.first;
        const QImage &image = picture.second;
        const int width = image.width();
        const int height = image.height();
        const QString path = dir.filePath(QStringLiteral("result.png"));
        const double before = bestSeconds([&] {
            QFile::remove(path);
            QImageWriter writer(path, "png");
            return writer.write(image);
        });
        const qint64 beforeBytes = QFileInfo(path).size();
        const double after = bestSeconds([&] {
            QFile file(path);
            return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                   !engine::encodePng(image, false, &file);
        });
        const qint64 afterBytes = QFileInfo(path).size();
        std::printf(
            "%s %dx%d: Qt's writer %.2f s, %.1f MB; encoder %.2f s, %.1f MB: %.1fx faster, %+.1f%% bytes\n",
            name, width, height, before, beforeBytes / 1e6, after, afterBytes / 1e6, before / after,
            100.0 * (afterBytes - beforeBytes) / beforeBytes);
        if (!sweep)
            continue;
        const QList<QPair<const char *, int>> filters{{"none", 0x08}, {"sub", 0x10},   {"up", 0x20},
                                                      {"avg", 0x40},  {"paeth", 0x80}, {"all", 0xf8}};
        const QList<QPair<const char *, int>> strategies{{"default", 0}, {"filtered", 1}, {"rle", 3}};
        for (const int level : {1, 2, 3, 6})
            for (const auto &[filterName, filterMask] : filters)
                for (const auto &[strategyName, strategyValue] : strategies) {
                    const int filter = filterMask;
                    const int strategy = strategyValue;
                    QByteArray bytes;
                    const double seconds = bestSeconds([&] {
                        bytes.clear();
                        QBuffer buffer(&bytes);
                        buffer.open(QIODevice::WriteOnly);
                        return !engine::encodePng(image, false, &buffer, {},
                                                  engine::PngSettings{level, filter, strategy});
                    });
                    std::printf("  level %d %-6s %-9s %.2f s %.1f MB (%+.1f%% bytes against Qt's)\n", level,
                                filterName, strategyName, seconds, bytes.size() / 1e6,
                                100.0 * (bytes.size() - beforeBytes) / beforeBytes);
                }
    }
    return 0;
}

// Every result format through writeNewPicture, on an enlarged picture (default 5428 x 4052, 22 MP)
// at 8 bits and at 16, marked as results are: seconds and bytes of one write each, against PNG's.
int benchFormats(const QStringList &args)
{
    const int width = args.size() > 3 ? args.at(2).toInt() : 5428;
    const int height = args.size() > 3 ? args.at(3).toInt() : 4052;
    const QImage enlarged = photoLike(width / 4, height / 4, 3)
                                .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                                .convertToFormat(QImage::Format_RGB888);
    const QList<QPair<const char *, QImage>> pictures{
        {"8-bit", enlarged}, {"16-bit", enlarged.convertToFormat(QImage::Format_RGBX64)}};
    const QList<QPair<const char *, int>> formats{{"png", -1},  {"tif", -1}, {"jxl", -1}, {"jxl", 90},
                                                  {"avif", -1}, {"jpg", 90}, {"webp", 90}};
    QTemporaryDir dir;
    for (const auto &picture : pictures) {
        for (const auto &format : formats) {
            engine::PictureToWrite toWrite;
            toWrite.result = engine::Picture::asStored(picture.second);
            // Marked as every result is: TIFF, JPEG and WebP get the mark by a rewrite of the file.
            engine::markAsResult(toWrite.result.image, QStringLiteral("result"));
            toWrite.folder = dir.path();
            toWrite.inputPath = QStringLiteral("result");
            toWrite.format = *engine::OutputFormat::named(QString::fromLatin1(format.first), format.second);
            QElapsedTimer clock;
            clock.start();
            const engine::WriteResult written = engine::writeNewPicture(toWrite);
            const double seconds = clock.nsecsElapsed() / 1e9;
            if (!written.ok()) {
                std::printf("%s %s: %s\n", picture.first, format.first, qPrintable(written.error));
                continue;
            }
            std::printf("%s %dx%d %s quality %d: %.2f s, %.1f MB\n", picture.first, width, height,
                        format.first, format.second, seconds, QFileInfo(written.path).size() / 1e6);
            QFile::remove(written.path);
        }
    }
    return 0;
}

#if BRIVELLE_BENCH_VIPS
// The finishing stage's former downscale, kept here as the reference the resampler is measured
// against: libvips' Lanczos-3 reduction (gap 0, no box filter first) in float with premultiplied
// alpha, as an independent, well-kept implementation. `inFloat` false: in the picture's own band
// format, unpremultiplied (what libvips' fixed-point vector path costs at the least).
QImage vipsResized(const QImage &image, QSize size, bool inFloat)
{
    static const bool ready = [] {
        if (VIPS_INIT("brivelle_engine_bench") != 0)
            return false;
        vips_concurrency_set(std::clamp(QThread::idealThreadCount(), 1, 4));
        vips_cache_set_max(0);
        return true;
    }();
    const bool deep = image.depth() == 64;
    const bool alpha = image.hasAlphaChannel() && inFloat;
    const int bands = image.format() == QImage::Format_RGB888 ? 3 : 4;
    const VipsBandFormat band = deep ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR;
    const qsizetype rowBytes = qsizetype(image.width()) * bands * (deep ? 2 : 1);
    QByteArray packed(rowBytes * image.height(), Qt::Uninitialized);
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(packed.data() + y * rowBytes, image.constScanLine(y), size_t(rowBytes));
    QImage out(size, image.format());
    const qsizetype outRow = qsizetype(size.width()) * bands * (deep ? 2 : 1);
    if (!ready || out.isNull())
        return {};
    std::vector<VipsImage *> refs;
    const auto keep = [&refs](VipsImage *made) {
        refs.push_back(made);
        return made;
    };
    VipsImage *step = keep(vips_image_new_from_memory(packed.constData(), size_t(packed.size()),
                                                      image.width(), image.height(), bands, band));
    VipsImage *next = nullptr;
    const double top = deep ? 65535 : 255;
    bool ok = step;
    if (ok && alpha)
        ok = vips_premultiply(step, &next, "max_alpha", top, nullptr) == 0 && (step = keep(next));
    else if (ok && inFloat)
        ok = vips_cast(step, &next, VIPS_FORMAT_FLOAT, nullptr) == 0 && (step = keep(next));
    ok = ok &&
         vips_resize(step, &next, double(size.width()) / image.width(), "vscale",
                     double(size.height()) / image.height(), "kernel", VIPS_KERNEL_LANCZOS3, "gap", 0.0,
                     nullptr) == 0 &&
         (step = keep(next));
    if (ok && alpha)
        ok = vips_unpremultiply(step, &next, "max_alpha", top, nullptr) == 0 && (step = keep(next));
    if (ok && inFloat)
        ok = vips_rint(step, &next, nullptr) == 0 && (step = keep(next)) &&
             vips_cast(step, &next, band, nullptr) == 0 && (step = keep(next));
    // Qt pads rows to four bytes; vips writes them without gaps.
    size_t bytes = 0;
    void *memory = ok ? vips_image_write_to_memory(step, &bytes) : nullptr;
    ok = memory && bytes == size_t(outRow) * size_t(size.height());
    for (int y = 0; ok && y < size.height(); ++y)
        std::memcpy(out.scanLine(y), static_cast<const uchar *>(memory) + y * outRow, size_t(outRow));
    g_free(memory);
    for (VipsImage *made : refs)
        if (made)
            g_object_unref(made);
    return ok ? out : QImage();
}
#endif

// How far `ours` is from `reference` (one format and size): the largest difference of a channel
// where both are opaque, and the PSNR of the premultiplied channels, in the picture's own units.
struct Difference {
    int opaqueLargest = 0;
    double psnr = 0;
};

Difference differenceOf(const QImage &ours, const QImage &reference)
{
    const bool deep = ours.depth() == 64;
    const int bands = ours.format() == QImage::Format_RGB888 ? 3 : 4;
    const bool alpha = ours.hasAlphaChannel();
    const double top = deep ? 65535 : 255;
    const auto at = [deep](const QImage &image, int y, int i) {
        return deep ? double(reinterpret_cast<const quint16 *>(image.constScanLine(y))[i])
                    : double(image.constScanLine(y)[i]);
    };
    Difference difference;
    double squares = 0;
    qint64 count = 0;
    for (int y = 0; y < ours.height(); ++y)
        for (int x = 0; x < ours.width(); ++x) {
            const int pixel = x * bands;
            const double a = alpha ? at(ours, y, pixel + 3) : top;
            const double b = alpha ? at(reference, y, pixel + 3) : top;
            for (int c = 0; c < bands; ++c) {
                const double p = at(ours, y, pixel + c);
                const double q = at(reference, y, pixel + c);
                if (a == top && b == top)
                    difference.opaqueLargest = std::max(difference.opaqueLargest, int(std::abs(p - q)));
                const double e = c == 3 ? p - q : (p * a - q * b) / top;
                squares += e * e;
                ++count;
            }
        }
    const double mean = squares / double(std::max<qint64>(1, count));
    difference.psnr = mean > 0 ? 10 * std::log10(top * top / mean) : 999;
    return difference;
}

} // namespace

// The downscale of a --factor below the network's scale: an x4 result (default 5428 x 4052, 22 MP)
// reduced to 3/4 and to 1/3 by the finishing stage's resampler and by Qt's smooth scaling, opaque
// and transparent at 8 and at 16 bits; and the x4 enlargement of its source that --strength blends
// in. With libvips, also the former path (libvips in float, the quality reference) and libvips in
// the picture's own bands.
int benchResize(const QStringList &args)
{
    const int width = args.size() > 3 ? args.at(2).toInt() : 5428;
    const int height = args.size() > 3 ? args.at(3).toInt() : 4052;
    const int runs = args.size() > 4 ? std::max(1, args.at(4).toInt()) : 5;
    const QImage opaque = photoLike(width, height, 7);
    QImage transparent = opaque.convertToFormat(QImage::Format_RGBA8888);
    for (int y = 0; y < height; y += 2)
        for (int x = 0; x < width / 4; ++x)
            transparent.scanLine(y)[4 * x + 3] = uchar(x % 256);
    const QList<QPair<const char *, QImage>> pictures{
        {"RGB888", opaque},
        {"RGBA8888", transparent},
        {"RGBX64", opaque.convertToFormat(QImage::Format_RGBX64)},
        {"RGBA64", transparent.convertToFormat(QImage::Format_RGBA64)}};
    using Work = std::function<QImage(const QImage &, QSize)>;
    QList<QPair<const char *, Work>> ways{{"ours",
                                           [](const QImage &image, QSize size) {
                                               return engine::resizedPicture(image, size);
                                           }},
                                          {"Qt smooth", [](const QImage &image, QSize size) {
                                               return image.scaled(size, Qt::IgnoreAspectRatio,
                                                                   Qt::SmoothTransformation);
                                           }}};
#if BRIVELLE_BENCH_VIPS
    ways.append({"libvips float", [](const QImage &image, QSize size) {
                     return vipsResized(image, size, true);
                 }});
    ways.append({"libvips bands", [](const QImage &image, QSize size) {
                     return vipsResized(image, size, false);
                 }});
#endif
    std::printf("%d x %d (%.1f MP); the least wall and processor time of %d interleaved runs each\n", width,
                height, width * double(height) / 1e6, runs);
    for (const auto &[num, den] : {std::pair<int, int>(3, 4), std::pair<int, int>(1, 3)}) {
        const QSize target(width * num / den, height * num / den);
        std::printf("\n-> %d/%d, %d x %d\n", num, den, target.width(), target.height());
        for (const auto &[name, picture] : pictures) {
            // The ways take turns, so that a busy moment of the machine falls on all of them alike.
            std::vector<double> wall(size_t(ways.size()), 1e9), cpu(size_t(ways.size()), 1e9);
            std::vector<QImage> results(size_t(ways.size()));
            for (int run = 0; run < runs; ++run)
                for (int w = 0; w < ways.size(); ++w) {
                    QElapsedTimer clock;
                    clock.start();
                    const double before = processCpuSeconds();
                    results[size_t(w)] = ways.at(w).second(picture, target);
                    cpu[size_t(w)] = std::min(cpu[size_t(w)], processCpuSeconds() - before);
                    wall[size_t(w)] = std::min(wall[size_t(w)], clock.nsecsElapsed() / 1e9);
                }
            for (int w = 0; w < ways.size(); ++w) {
                std::printf("  %-9s %-13s %.3f s (processor %.3f s)", name, ways.at(w).first, wall[size_t(w)],
                            cpu[size_t(w)]);
                // Against the former path where there is one, else against nothing.
                const QImage &reference = results[ways.size() > 2 ? 2 : 0];
                const QImage &result = results[size_t(w)];
                if (w != 2 && ways.size() > 2 && !result.isNull() && !reference.isNull() &&
                    result.size() == reference.size()) {
                    const Difference d = differenceOf(result.convertToFormat(reference.format()), reference);
                    std::printf("  against libvips float: largest opaque %d, PSNR %.1f dB", d.opaqueLargest,
                                d.psnr);
                }
                std::printf("%s\n", result.isNull() ? "  (failed)" : "");
            }
        }
    }
    // The plain enlargement that --strength blends in: the source of that result, enlarged x4.
    const QImage source = opaque.scaled(opaque.size() / 4, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    double wall[2] = {1e9, 1e9}, cpu[2] = {1e9, 1e9};
    for (int run = 0; run < runs; ++run)
        for (int w = 0; w < 2; ++w) {
            QElapsedTimer clock;
            clock.start();
            const double before = processCpuSeconds();
            ways.at(w).second(source, opaque.size());
            cpu[w] = std::min(cpu[w], processCpuSeconds() - before);
            wall[w] = std::min(wall[w], clock.nsecsElapsed() / 1e9);
        }
    std::printf("\nRGB888 x4 enlargement: Lanczos-3 %.3f s (processor %.3f s)   Qt smooth scaling (bilinear) "
                "%.3f s (%.3f s)\n",
                wall[0], cpu[0], wall[1], cpu[1]);
    return 0;
}

int main(int argc, char **argv)
{
    // Headless: the benchmark paints into images only.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 1 && args.at(1) == QLatin1String("write"))
        return benchWrite(args);
    if (args.size() > 1 && args.at(1) == QLatin1String("resize"))
        return benchResize(args);
    if (args.size() > 1 && args.at(1) == QLatin1String("formats"))
        return benchFormats(args);
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: %s image|batch <model-dir> <name> <scale> [...]\n", argv[0]);
        return 2;
    }
    const int scale = args.at(4).toInt();
    if (args.at(1) == QLatin1String("trace") && args.size() > 6)
        return traceBatch(args.at(2), args.at(3), scale, args.at(5).toInt(), args.mid(6));
    if (args.at(1) == QLatin1String("batch"))
        return benchBatch(args.at(2), args.at(3), scale, args.size() > 5 ? args.at(5).toInt() : 8,
                          args.size() > 6 ? args.at(6).toInt() : 256,
                          args.size() > 7 && args.at(7) == QLatin1String("gpu"));
    ncnn::Net net;
    if (!loadNet(net, args.at(2), args.at(3)))
        return 1;
    if (args.at(1) == QLatin1String("fidelity") && args.size() > 7) {
        QList<int> tiles;
        for (qsizetype i = 7; i < args.size(); ++i)
            tiles << args.at(i).toInt();
        return fidelity(net, scale, QSize(args.at(5).toInt(), args.at(6).toInt()), tiles);
    }
    if (args.at(1) == QLatin1String("alpha"))
        return compareAlpha(net, scale, args.size() > 5 ? args.at(5).toInt() : 64);
    return benchImage(net, scale, args.size() > 5 ? args.at(5).toInt() : 1024,
                      args.size() > 6 ? args.at(6).toInt() : 768,
                      args.size() > 7 ? args.at(7).toInt() : budgetTile());
}
