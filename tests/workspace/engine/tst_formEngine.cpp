#include "formProbe.h"
#include "support/imagediff.h"
#include "testModels.h"

#include "ui_PelmoraForm.h"
#include "workspace/engine/tiledPass.h"
#include "workspace/engine/upscaler.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtConcurrent>

#include <cstdint>

#include <ncnn/allocator.h>
#include <ncnn/gpu.h>

namespace {

void setInstallFolder(const QString &folder)
{
    QSettings(QStringLiteral("Corvane"), QStringLiteral("Brivelle AI"))
        .setValue(QStringLiteral("Path"), folder);
}

QImage noise(QSize size, quint32 seed)
{
    QRandomGenerator random(seed);
    QImage image(size, QImage::Format_RGB888);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width() * 3; ++x)
            image.scanLine(y)[x] = uchar(random.bounded(256));
    return image;
}

// Refuses every block above a size, as a device whose memory is nearly used up would, and remembers
// the largest block it handed out.
class LimitedAllocator : public ncnn::Allocator {
public:
    explicit LimitedAllocator(size_t limit = SIZE_MAX) : limit(limit) {}
    void *fastMalloc(size_t size) override
    {
        if (size > limit) {
            ++refused;
            return nullptr;
        }
        size_t seen = largest.load();
        while (size > seen && !largest.compare_exchange_weak(seen, size)) {
        }
        return ncnn::fastMalloc(size);
    }
    void fastFree(void *ptr) override { ncnn::fastFree(ptr); }
    const size_t limit;
    std::atomic<int> refused{0};
    std::atomic<size_t> largest{0};
};

// Tiles and the whole image see the same pixels, but a fast CPU or GPU path may sum a convolution in
// another order for another shape; the reference path is exact (tst_engine_tiledPass checks the
// joins themselves bit for bit).
constexpr int kJoinTolerance = 1;

} // namespace

class FormEngineTest : public QObject {
    Q_OBJECT

    // The ISA variants of a test run side by side: each process keeps its own settings store.
    QTemporaryDir settingsHome;
    QTemporaryDir install;
    PelmoraForm *form = nullptr;
    EngineProbe probe() { return EngineProbe{*form}; }

    // One inference over the whole picture; a network that folds 2x2 blocks (RRDBNet x2) gets an odd
    // picture's last column and row repeated, and what they add is cut away.
    QImage wholePicture(const QImage &source, int upscaleValue)
    {
        const QImage picture = engine::networkPicture(engine::Picture::asStored(source));
        const int multiple = probe().inputMultiple();
        const QSize padded((picture.width() + multiple - 1) / multiple * multiple,
                           (picture.height() + multiple - 1) / multiple * multiple);
        return probe()
            .runNetwork(engine::padByRepeating(picture, padded))
            .copy(QRect(QPoint(0, 0), source.size() * (2 * upscaleValue)));
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(settingsHome.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsHome.path());
        QVERIFY(install.isValid());
        QVERIFY(writeTestModelPairs(install.path()));
    }
    void init()
    {
        setInstallFolder(install.path());
        form = new PelmoraForm(nullptr);
        probe().processEngine() = 0;
    }
    void cleanup() { delete form; }

    void setupLoadsThePairOfTheScale_data()
    {
        QTest::addColumn<int>("upscaleValue");
        QTest::addColumn<QSize>("out");
        QTest::newRow("1 loads x2") << 1 << QSize(208, 120);
        QTest::newRow("2 loads x4") << 2 << QSize(416, 240);
        QTest::newRow("anything else loads x4") << 7 << QSize(416, 240);
    }
    void setupLoadsThePairOfTheScale()
    {
        QFETCH(int, upscaleValue);
        probe().upscaleValue() = upscaleValue;
        QVERIFY(probe().setupNetwork());
        const QImage out = probe().runNetwork(noise(QSize(104, 60), 1));
        QCOMPARE(out.format(), QImage::Format_RGB888);
        QTEST(out.size(), "out");
        // Loading the other pair afterwards replaces the first instead of adding to it.
        probe().upscaleValue() = upscaleValue == 1 ? 2 : 1;
        QVERIFY(probe().setupNetwork());
        QCOMPARE(probe().runNetwork(noise(QSize(104, 60), 1)).width(), upscaleValue == 1 ? 416 : 208);
    }

    void missingModelFilesAreReported()
    {
        QTemporaryDir empty;
        setInstallFolder(empty.path());
        QVERIFY(!probe().setupNetwork());
        QVERIFY(probe().runNetwork(noise(QSize(32, 32), 1)).isNull());
        probe().currentTileSize() = 32;
        QVERIFY(probe().upscaleImage(noise(QSize(40, 40), 1)).isNull());
    }

    void nonAsciiInstallFolder()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("Modèles 模型"));
        QVERIFY(QDir().mkdir(folder));
        QVERIFY(writeTestModelPairs(folder));
        setInstallFolder(folder);
        QVERIFY(probe().setupNetwork());
    }

    // The upscaler's policy on the device it runs on: an index past the list means device 0 there,
    // so the edge is that device's (a budget's multiple of 32), not the 64 of a device that does not
    // exist.
    void tileSizeFromTheDevice()
    {
        probe().computeTileSize();
        QCOMPARE(probe().currentTileSize(), 0);
        QVERIFY(probe().setupNetwork());
        probe().computeTileSize();
        const int cpuTile = probe().currentTileSize();
        QVERIFY(cpuTile >= 32 && cpuTile % 32 == 0);
        probe().processEngine() = 1;
        probe().gpuIndex() = 99;
        QVERIFY(probe().setupNetwork());
        probe().computeTileSize();
        const int gpuTile = probe().currentTileSize();
        QVERIFY(gpuTile >= 32 && gpuTile % 32 == 0);
        if (ncnn::get_gpu_count() == 0)
            QCOMPARE(gpuTile, 64);
    }

    // An index past the device list falls back to device 0; without any device the network still
    // loads and runs on the CPU.
    void gpuIndexBeyondTheListIsReset()
    {
        probe().processEngine() = 1;
        probe().gpuIndex() = ncnn::get_gpu_count() + 2;
        probe().upscaleValue() = 1;
        QVERIFY(probe().setupNetwork());
        QCOMPARE(probe().gpuIndex(), 0);
        QCOMPARE(probe().runNetwork(noise(QSize(32, 16), 1)).size(), QSize(64, 32));
    }

    // The tiles' margins hide their borders from a network that sees less than 48 pixels around.
    void tilesJoinWithoutSeams_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("tile");
        QTest::addColumn<int>("upscaleValue");
        QTest::newRow("odd 131x75 T32 x2") << QSize(131, 75) << 32 << 1;
        QTest::newRow("odd 131x75 T64 x4") << QSize(131, 75) << 64 << 2;
        QTest::newRow("97x161 T96 x2") << QSize(97, 161) << 96 << 1;
        QTest::newRow("width a multiple of T 64x33 T32 x4") << QSize(64, 33) << 32 << 2;
    }
    void tilesJoinWithoutSeams()
    {
        QFETCH(QSize, size);
        QFETCH(int, tile);
        QFETCH(int, upscaleValue);
        probe().upscaleValue() = upscaleValue;
        QVERIFY(probe().setupNetwork());
        probe().currentTileSize() = tile;
        const QImage source = noise(size, 3);
        const QImage tiled = probe().upscaleImageTiling(source);
        QVERIFY(!tiled.isNull());

        const QImage whole = wholePicture(source, upscaleValue);
        QCOMPARE(tiled.size(), whole.size());
        QVERIFY2(maxDifference(tiled, whole) <= kJoinTolerance,
                 qPrintable(QString::number(maxDifference(tiled, whole))));
    }

    // A tile that cannot get its memory starts the image again with smaller tiles instead of failing
    // (or crashing); below the smallest edge the image fails as a whole. The limit is the largest block
    // a 32-pixel tile needs on whichever CPU path runs, so the test holds for every backend.
    void outOfMemoryRetriesSmaller_data()
    {
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("fits at 32") << true;
        QTest::newRow("never fits") << false;
    }
    void outOfMemoryRetriesSmaller()
    {
        QFETCH(bool, succeeds);
        const QImage source = noise(QSize(150, 150), 5);
        auto upscaleWith = [&](LimitedAllocator &allocator, int tile) {
            engine::Upscaler::Config config;
            config.modelFolder = install.path();
            config.scale = 2;
            config.fixedTileSize = tile;
            config.allocator = &allocator;
            const auto upscaler = engine::Upscaler::load(config);
            // On a worker thread, as in a batch.
            return QtConcurrent::run([&] { return upscaler->upscale(source); }).result();
        };
        LimitedAllocator at32;
        const engine::UpscaleResult expected = upscaleWith(at32, 32);
        QVERIFY(expected.isOk());
        LimitedAllocator at128;
        QVERIFY(upscaleWith(at128, 128).isOk());
        QVERIFY2(at128.largest > at32.largest, "big tiles must need bigger blocks for this test");

        LimitedAllocator limited(succeeds ? at32.largest.load() : at32.largest.load() - 1);
        const engine::UpscaleResult out = upscaleWith(limited, 128);
        QVERIFY(limited.refused > 0);
        QCOMPARE(out.status,
                 succeeds ? engine::UpscaleResult::Status::Done : engine::UpscaleResult::Status::OutOfMemory);
        if (succeeds) {
            QCOMPARE(out.tileSize, 32);
            QCOMPARE(out.image, expected.image);
        }
    }

    // The published topologies: RRDBNet, whose x2 form starts with a pixel unshuffle, on odd sizes.
    void realTopologiesJoinWithoutSeams_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("upscaleValue");
        QTest::newRow("x2 odd 77x45") << QSize(77, 45) << 1;
        QTest::newRow("x4 odd 45x37") << QSize(45, 37) << 2;
    }
    void realTopologiesJoinWithoutSeams()
    {
        QFETCH(QSize, size);
        QFETCH(int, upscaleValue);
        QTemporaryDir rrdb;
        QVERIFY(writeRrdbModelPairs(rrdb.path()));
        setInstallFolder(rrdb.path());
        probe().upscaleValue() = upscaleValue;
        QVERIFY(probe().setupNetwork());
        QCOMPARE(probe().inputMultiple(), upscaleValue == 1 ? 2 : 1);
        probe().currentTileSize() = 32;
        const QImage source = noise(size, 6);
        const QImage tiled = probe().upscaleImageTiling(source);
        QVERIFY(!tiled.isNull());
        const QImage whole = wholePicture(source, upscaleValue);
        QCOMPARE(tiled.size(), whole.size());
        QVERIFY2(maxDifference(tiled, whole) <= kJoinTolerance,
                 qPrintable(QString::number(maxDifference(tiled, whole))));
    }

    void transparency_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QImage::Format>("format");
        QTest::newRow("alpha channel, all opaque") << QStringLiteral("opaque") << QImage::Format_RGB888;
        QTest::newRow("last pixel clear") << QStringLiteral("last") << QImage::Format_RGBA8888;
        QTest::newRow("right half clear") << QStringLiteral("half") << QImage::Format_RGBA8888;
    }
    void transparency()
    {
        QFETCH(QString, kind);
        probe().upscaleValue() = 2;
        QVERIFY(probe().setupNetwork());
        probe().currentTileSize() = 64;
        QImage source = noise(QSize(100, 80), 4).convertToFormat(QImage::Format_ARGB32);
        if (kind == QLatin1String("last"))
            source.setPixel(99, 79, qRgba(1, 2, 3, 0));
        if (kind == QLatin1String("half"))
            for (int y = 0; y < 80; ++y)
                for (int x = 50; x < 100; ++x)
                    source.setPixel(x, y, qRgba(0, 0, 0, 0));
        const QImage out = probe().upscaleImage(source);
        QTEST(out.format(), "format");
        QCOMPARE(out.size(), QSize(400, 320));
        if (kind == QLatin1String("half")) {
            QCOMPARE(out.constScanLine(100)[4 * 399 + 3], uchar(0));
            QCOMPARE(out.constScanLine(100)[4 * 10 + 3], uchar(255));
        }
    }
};

QTEST_MAIN(FormEngineTest)
#include "tst_formEngine.moc"
