// Where the time of an upscale goes: inside the network, or in the engine around it (extension,
// tile copies, pixel conversions, joining, and for the batch decode and encode).
//
//   brivelle_engine_bench image <model-dir> <name> <scale> [width height [tile]]
//   brivelle_engine_bench batch <model-dir> <name> <scale> [count size]
//   brivelle_engine_bench alpha <model-dir> <name> <scale> [size]
//     compares the two colour sources for transparent images (the source as it is, or flattened on
//     white) on a soft-edged picture: the error of each, composited on black and on white, against
//     the smoothly enlarged source composited the same way, over the pixels that are partly clear.
//
// <name> is the file name of the pair without suffix (realesrgan-x4plus, or a generated model).
#include "app/platform/platform.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/networkInference.h"
#include "workspace/engine/tileSize.h"
#include "workspace/engine/tiledPass.h"
#include "workspace/engine/transparency.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <QtConcurrent>

#include <cmath>
#include <cstdio>

#include <ncnn/net.h>

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
        std::fprintf(stderr, "failed: %s\n", qPrintable(result.message));
        return 1;
    }
    const double inside = networkNs / 1e9;
    std::printf("image %dx%d x%d tile %d: total %.3f s, network %.3f s, outside %.3f s (%.2f%%)\n", width,
                height, scale, result.tileSize, seconds, inside, seconds - inside,
                100.0 * (seconds - inside) / seconds);
    return 0;
}

int benchBatch(const ncnn::Net &net, int scale, int count, int size)
{
    QTemporaryDir in;
    QTemporaryDir out;
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        paths << in.filePath(QStringLiteral("photo%1.jpg").arg(i));
        photoLike(size, size, quint32(10 + i)).save(paths.last(), "JPEG", 92);
    }
    std::atomic<bool> cancel{false};
    std::atomic<qint64> networkNs{0};
    const int tile = budgetTile();
    engine::BatchJob job(
        out.path(),
        [&](const QImage &image, QString *error) {
            qint64 ns = 0;
            const engine::TiledPassResult r = engine::runTiledPass(
                image, tile, scale, [&](const QImage &t) { return engine::inferImage(net, t, &ns); });
            networkNs += ns;
            *error = r.message;
            return r.image;
        },
        cancel);

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
    watcher.setFuture(QtConcurrent::run([&] { job.run(paths); }));
    QCoreApplication::exec();
    const double seconds = total.nsecsElapsed() / 1e9;
    const double inside = networkNs / 1e9;
    std::printf(
        "batch of %d %dx%d x%d tile %d: %d written, %.3f s per image, network %.3f s, outside %.2f%%, "
        "longest GUI stall %.1f ms (5 ms ticks)\n",
        count, size, size, scale, tile, int(job.summary().written.size()), seconds / count, inside,
        100.0 * (seconds - inside) / seconds, longestStallNs / 1e6);
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
    const QImage alpha = engine::extractAlphaPlane(source);
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
            engine::mergeAlpha(upscale(choice.colour), alpha).convertToFormat(QImage::Format_ARGB32);
        if (merged.isNull())
            return 1;
        std::printf(
            "%-20s mean error over partly clear pixels: on black %.2f, on white %.2f (8-bit levels)\n",
            choice.name, bandError(merged, ideal, qRgb(0, 0, 0)),
            bandError(merged, ideal, qRgb(255, 255, 255)));
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    // Headless: the benchmark paints into images only.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 5) {
        std::fprintf(stderr, "usage: %s image|batch <model-dir> <name> <scale> [...]\n", argv[0]);
        return 2;
    }
    ncnn::Net net;
    if (!loadNet(net, args.at(2), args.at(3)))
        return 1;
    const int scale = args.at(4).toInt();
    if (args.at(1) == QLatin1String("alpha"))
        return compareAlpha(net, scale, args.size() > 5 ? args.at(5).toInt() : 64);
    if (args.at(1) == QLatin1String("batch"))
        return benchBatch(net, scale, args.size() > 5 ? args.at(5).toInt() : 8,
                          args.size() > 6 ? args.at(6).toInt() : 256);
    return benchImage(net, scale, args.size() > 5 ? args.at(5).toInt() : 1024,
                      args.size() > 6 ? args.at(6).toInt() : 768,
                      args.size() > 7 ? args.at(7).toInt() : budgetTile());
}
