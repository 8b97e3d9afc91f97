// The tiled pass against one inference of the whole picture, on real networks: the tiles must add
// nothing of their own, above all at the picture's right edge.
#include "testModels.h"

#include "workspace/engine/networkInference.h"
#include "workspace/engine/tiledPass.h"

#include <QFileInfo>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>
#include <functional>
#include <limits>

#include <ncnn/cpu.h>
#include <ncnn/gpu.h>
#include <ncnn/net.h>

#include "workspace/engine/upscaler.h"

namespace {

// Smooth shading, hard-edged shapes and fine grain, closer to a photograph than noise.
QImage photoLike(QSize size, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(size, QImage::Format_RGB888);
    for (int y = 0; y < size.height(); ++y) {
        uchar *line = image.scanLine(y);
        for (int x = 0; x < size.width(); ++x) {
            const double u = double(x) / size.width();
            const double v = double(y) / size.height();
            const int grain = int(random.bounded(13)) - 6;
            line[3 * x] = uchar(qBound(0, int(130 + 80 * std::sin(5 * u + 2 * v)) + grain, 255));
            line[3 * x + 1] = uchar(qBound(0, int(100 + 70 * std::cos(4 * v - 3 * u)) + grain, 255));
            line[3 * x + 2] = uchar(qBound(0, int(90 + 60 * std::sin(7 * u * v)) + grain, 255));
        }
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 8; ++i) {
        painter.setBrush(QColor::fromRgb(random.generate()));
        painter.drawEllipse(QPointF(random.bounded(size.width()), random.bounded(size.height())),
                            4 + random.bounded(size.width() / 4), 4 + random.bounded(size.height() / 4));
    }
    return image;
}

int largestDifference(const QImage &a, const QImage &b)
{
    int most = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x)
            most = std::max(most, std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]));
    return most;
}

double psnr(const QImage &a, const QImage &b)
{
    double squares = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width() * 3; ++x) {
            const double d = a.constScanLine(y)[x] - b.constScanLine(y)[x];
            squares += d * d;
        }
    }
    if (squares == 0)
        return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 * 3 * a.width() * a.height() / squares);
}

QString sharedModels()
{
    const QString folder = qEnvironmentVariable("BRIVELLE_SHARED_DIR") + QStringLiteral("/models");
    return QFileInfo::exists(folder + QStringLiteral("/realesrgan-x4fast.param")) ? folder : QString();
}

} // namespace

class FidelityTest : public QObject {
    Q_OBJECT

    QTemporaryDir generated;

private slots:
    void initTestCase()
    {
        ncnn::create_gpu_instance();
        QVERIFY(writeRrdbModelPairs(generated.path()));
    }
    void cleanupTestCase() { ncnn::destroy_gpu_instance(); }

    void tiledEqualsWholePicture_data()
    {
        QTest::addColumn<QString>("model"); // empty: the shared x4fast
        QTest::addColumn<int>("scale");
        QTest::addColumn<bool>("gpu");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("tile");
        QTest::addColumn<double>("minimumDb");
        QTest::newRow("x4fast small tiles") << QString() << 4 << false << QSize(90, 61) << 32 << 55.0;
        QTest::newRow("x4fast one tile") << QString() << 4 << false << QSize(90, 61) << 128 << 80.0;
        const QString x2 = QStringLiteral("realesrgan-x2plus");
        QTest::newRow("generated x2 odd, small tiles") << x2 << 2 << false << QSize(77, 45) << 32 << 55.0;
        QTest::newRow("generated x2 odd, one tile") << x2 << 2 << false << QSize(77, 45) << 128 << 80.0;
        QTest::newRow("generated x2 odd, small tiles, GPU") << x2 << 2 << true << QSize(77, 45) << 32 << 55.0;
    }
    void tiledEqualsWholePicture()
    {
        QFETCH(QString, model);
        QFETCH(int, scale);
        QFETCH(bool, gpu);
        QFETCH(QSize, size);
        QFETCH(int, tile);
        QFETCH(double, minimumDb);
        QString base;
        if (model.isEmpty()) {
            if (sharedModels().isEmpty())
                QSKIP("../shared/models is absent");
            base = sharedModels() + QStringLiteral("/realesrgan-x4fast");
        } else {
            base = generated.filePath(model);
        }
        if (gpu && ncnn::get_gpu_count() == 0)
            QSKIP("no Vulkan device");

        ncnn::Net net;
        net.opt.use_vulkan_compute = gpu;
        net.opt.num_threads = 4;
        if (gpu)
            net.set_vulkan_device(0);
        QCOMPARE(net.load_param(QString(base + QStringLiteral(".param")).toUtf8().constData()), 0);
        QCOMPARE(net.load_model(QString(base + QStringLiteral(".bin")).toUtf8().constData()), 0);

        const QImage source = photoLike(size, 21);
        const int multiple = scale == 2 ? 2 : 1;
        const QSize padded((size.width() + multiple - 1) / multiple * multiple,
                           (size.height() + multiple - 1) / multiple * multiple);
        const engine::TileInference whole = engine::inferImage(net, engine::padByRepeating(source, padded));
        QVERIFY2(whole.status == engine::TileInference::Status::Done, qPrintable(whole.reason));
        const QImage reference = whole.image.copy(QRect(QPoint(0, 0), size * scale));

        // Every inference reports its layers on the way, on either device, up to all of them.
        int inferences = 0;
        int completed = 0;
        int backwards = 0;
        int lastDone = 0;
        const std::function<void(int, int)> layers = [&](int done, int total) {
            backwards += done <= lastDone || done > total;
            lastDone = done;
            completed += done == total;
        };
        const engine::TiledPassResult tiled = engine::runTiledPass(
            source, tile, scale,
            [&](const QImage &in) {
                ++inferences;
                lastDone = 0;
                return engine::inferImage(net, in, nullptr, {}, nullptr, &layers);
            },
            {}, multiple);
        QVERIFY2(tiled.isOk(), qPrintable(tiled.reason));
        QCOMPARE(completed, inferences);
        QCOMPARE(backwards, 0);
        QCOMPARE(tiled.image.size(), reference.size());
        // The right-most columns are where extension pixels used to leak in.
        const int edge = 16 * scale;
        const QRect right(reference.width() - edge, 0, edge, reference.height());
        const double all = psnr(tiled.image, reference);
        const double atEdge = psnr(tiled.image.copy(right), reference.copy(right));
        qInfo("%s: %.1f dB, right edge %.1f dB", QTest::currentDataTag(), all, atEdge);
        QVERIFY2(all >= minimumDb, qPrintable(QString::number(all)));
        QVERIFY2(atEdge >= minimumDb, qPrintable(QString::number(atEdge)));
    }

    // Each reduced precision against fp32 on the same device and real network. ctest runs this under
    // oneDNN's ISA caps too: where the CPU has no native bf16 products auto is fp32 and a forced bf16 is
    // refused, naming the CPU.
    void precisionStaysCloseToFp32_data()
    {
        QTest::addColumn<QString>("network");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<double>("minimumDb");
        QTest::addColumn<int>("largest");
        QTest::newRow("x4fast bf16") << QStringLiteral("realesrgan-x4fast") << QSize(48, 40) << 50.0 << 8;
        QTest::newRow("x4plus bf16") << QStringLiteral("realesrgan-x4plus") << QSize(32, 32) << 50.0 << 8;
    }
    void precisionStaysCloseToFp32()
    {
        QFETCH(QString, network);
        QFETCH(QSize, size);
        QFETCH(double, minimumDb);
        QFETCH(int, largest);
        const QByteArray cap = qgetenv("ONEDNN_MAX_CPU_ISA").toLower();
        if (!cap.isEmpty() && cap != "all" && cap != ncnn::cpu_isa_name())
            QSKIP(qPrintable(QStringLiteral("this CPU lacks %1: oneDNN runs %2")
                                 .arg(QString::fromLatin1(cap), QString::fromLatin1(ncnn::cpu_isa_name()))));
        const engine::PrecisionChoice automatic =
            engine::precisionForDevice(engine::Precision::Auto, engine::Device::cpu());
        const engine::PrecisionChoice forced =
            engine::precisionForDevice(engine::Precision::Bf16, engine::Device::cpu());
        if (!ncnn::cpu_support_bf16()) {
            QCOMPARE(automatic.precision, engine::Precision::Fp32);
            QVERIFY(!forced.isOk());
            QVERIFY2(forced.refusal.contains(QString::fromLatin1(ncnn::cpu_isa_name())),
                     qPrintable(forced.refusal));
            QSKIP("no native bf16 products here: auto is fp32, and bf16 is refused");
        }
        QCOMPARE(automatic.precision, engine::Precision::Bf16);
        QVERIFY(forced.isOk());
        if (sharedModels().isEmpty())
            QSKIP("../shared/models is absent");
        const QString base = sharedModels() + QLatin1Char('/') + network;
        const QImage source = photoLike(size, 33);
        QImage results[2];
        for (int k = 0; k < 2; ++k) {
            ncnn::Net net;
            net.opt.num_threads = 2;
            net.opt.use_bf16_storage = k == 1;
            QCOMPARE(net.load_param(QString(base + QStringLiteral(".param")).toUtf8().constData()), 0);
            QCOMPARE(net.load_model(QString(base + QStringLiteral(".bin")).toUtf8().constData()), 0);
            const engine::TileInference out = engine::inferImage(net, source);
            QVERIFY2(out.status == engine::Outcome::Done, qPrintable(out.reason));
            results[k] = out.image;
        }
        const double db = psnr(results[1], results[0]);
        const int most = largestDifference(results[1], results[0]);
        qInfo("%s: %.1f dB, largest difference %d", QTest::currentDataTag(), db, most);
        QVERIFY2(db >= minimumDb, qPrintable(QString::number(db)));
        QVERIFY2(most <= largest, qPrintable(QString::number(most)));
        // Identical pictures would mean bf16 never ran.
        QVERIFY(db < 90.0);
    }
};

QTEST_GUILESS_MAIN(FidelityTest)
#include "tst_fidelity.moc"
