#include "workspace/engine/tiledPass.h"

#include <QRandomGenerator>
#include <QTest>

using engine::TiledPassResult;
using engine::TileInference;

namespace {

// A stand-in for a convolutional network: every output pixel depends only on the input pixels within
// `radius` of its source pixel, with zeros beyond the input's border, as a padded convolution does.
QImage windowNetwork(const QImage &input, int scale, int radius)
{
    const int w = input.width();
    const int h = input.height();
    QImage out(w * scale, h * scale, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            int sum[3] = {0, 0, 0};
            for (int dy = -radius; dy <= radius; dy += radius ? radius : 1) {
                for (int dx = -radius; dx <= radius; dx += radius ? radius : 1) {
                    const int sx = x + dx;
                    const int sy = y + dy;
                    if (sx < 0 || sy < 0 || sx >= w || sy >= h)
                        continue;
                    const uchar *p = input.constScanLine(sy) + 3 * sx;
                    for (int c = 0; c < 3; ++c)
                        sum[c] += p[c] * (1 + (dx + 2 * dy + 3 * radius) % 5);
                }
            }
            for (int oy = 0; oy < scale; ++oy) {
                uchar *o = out.scanLine(y * scale + oy) + 3 * x * scale;
                for (int ox = 0; ox < scale; ++ox)
                    for (int c = 0; c < 3; ++c)
                        o[3 * ox + c] = uchar((sum[c] + 7 * ox + 13 * oy) % 256);
            }
        }
    }
    return out;
}

QImage noise(QSize size, quint32 seed, QImage::Format format = QImage::Format_RGB32)
{
    QRandomGenerator random(seed);
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x)
            line[x] = random.generate() | 0xff000000u;
    }
    return image.convertToFormat(format);
}

// What one inference over the whole picture gives: the tiles must add nothing of their own. A
// network taking only multiples of `multiple` sees the picture with its last column and row repeated.
QImage wholeImageReference(const QImage &source, int scale, int radius, int multiple = 1)
{
    const QImage picture = engine::networkPicture(engine::Picture::asStored(source));
    auto roundUp = [multiple](int n) {
        return (n + multiple - 1) / multiple * multiple;
    };
    const QSize padded(roundUp(picture.width()), roundUp(picture.height()));
    return windowNetwork(engine::padByRepeating(picture, padded), scale, radius)
        .copy(QRect(QPoint(0, 0), source.size() * scale));
}

} // namespace

class TiledPassTest : public QObject {
    Q_OBJECT

private slots:
    void seamlessJoins_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("tile");
        QTest::addColumn<int>("scale");
        QTest::newRow("odd 157x93 T32 x2") << QSize(157, 93) << 32 << 2;
        QTest::newRow("odd 157x93 T64 x4") << QSize(157, 93) << 64 << 4;
        QTest::newRow("201x131 T96 x2") << QSize(201, 131) << 96 << 2;
        QTest::newRow("width a multiple of T 128x70 T64 x4") << QSize(128, 70) << 64 << 4;
        QTest::newRow("lower than T 77x21 T64 x2") << QSize(77, 21) << 64 << 2;
    }
    void seamlessJoins()
    {
        QFETCH(QSize, size);
        QFETCH(int, tile);
        QFETCH(int, scale);
        const int radius = 20;
        const QImage source = noise(size, 7);
        const TiledPassResult result = engine::runTiledPass(source, tile, scale, [&](const QImage &in) {
            return TileInference::ok(windowNetwork(in, scale, radius));
        });
        QVERIFY(result.isOk());
        QCOMPARE(result.image.format(), QImage::Format_RGB888);
        QCOMPARE(result.image, wholeImageReference(source, scale, radius));
    }

    // The check above must be able to fail: context wider than the margin shows at the joins.
    void contextWiderThanTheMarginShows()
    {
        const QImage source = noise(QSize(157, 93), 7);
        const TiledPassResult result = engine::runTiledPass(
            source, 32, 2, [](const QImage &in) { return TileInference::ok(windowNetwork(in, 2, 60)); });
        QVERIFY(result.isOk());
        QVERIFY(result.image != wholeImageReference(source, 2, 60));
    }

    void observerSeesPlanAndTilesInOrder()
    {
        QList<int> numbers;
        QList<QPoint> origins;
        int maximum = -1;
        engine::ProgressObserver observer;
        observer.planStarted = [&](const engine::TilePlan &plan) {
            maximum = plan.progressMaximum;
        };
        observer.tileStarted = [&](const engine::TilePlan &, const engine::Tile &t) {
            numbers << t.number;
            origins << QPoint(t.x, t.y);
        };
        const TiledPassResult result = engine::runTiledPass(
            noise(QSize(100, 40), 1), 64, 2,
            [](const QImage &in) { return TileInference::ok(windowNetwork(in, 2, 0)); }, observer);
        QVERIFY(result.isOk());
        QCOMPARE(maximum, 128 * 40 / (64 * 64) + 10);
        QCOMPARE(numbers, (QList<int>{1, 2}));
        QCOMPARE(origins, (QList<QPoint>{{0, 0}, {64, 0}}));
    }

    void outOfMemoryRetriesWithSmallerTiles_data()
    {
        QTest::addColumn<int>("widestInput");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<int>("finalTile");
        QTest::addColumn<QList<int>>("attempts");
        QTest::newRow("fits at 32") << 130 << true << 32 << QList<int>{128, 64, 32};
        QTest::newRow("fits at 64") << 160 << true << 64 << QList<int>{128, 64};
        QTest::newRow("never fits") << 100 << false << 32 << QList<int>{128, 64, 32};
    }
    void outOfMemoryRetriesWithSmallerTiles()
    {
        QFETCH(int, widestInput);
        QFETCH(bool, succeeds);
        QList<int> attempts;
        engine::ProgressObserver observer;
        observer.planStarted = [&](const engine::TilePlan &plan) {
            attempts << plan.tileSize;
        };
        const QImage source = noise(QSize(300, 150), 3);
        const TiledPassResult result = engine::runTiledPass(
            source, 128, 2,
            [&](const QImage &in) {
                if (in.width() > widestInput)
                    return TileInference{{}, TileInference::Status::OutOfMemory, QStringLiteral("limit")};
                return TileInference::ok(windowNetwork(in, 2, 20));
            },
            observer);
        QTEST(result.tileSize, "finalTile");
        QTEST(attempts, "attempts");
        QCOMPARE(result.isOk(), succeeds);
        if (succeeds) {
            QCOMPARE(result.image, wholeImageReference(source, 2, 20));
        } else {
            QCOMPARE(result.status, TiledPassResult::Status::OutOfMemory);
            QVERIFY(result.image.isNull());
        }
    }

    // A tile without output must not leave a black hole in something that looks like a result.
    void failedOrMisshapenTileFailsTheImage_data()
    {
        QTest::addColumn<bool>("empty");
        QTest::newRow("no output") << true;
        QTest::newRow("wrong size") << false;
    }
    void failedOrMisshapenTileFailsTheImage()
    {
        QFETCH(bool, empty);
        int calls = 0;
        const TiledPassResult result =
            engine::runTiledPass(noise(QSize(200, 100), 5), 32, 2, [&](const QImage &in) {
                if (++calls == 3)
                    return empty ? TileInference{} : TileInference::ok(windowNetwork(in, 4, 0));
                return TileInference::ok(windowNetwork(in, 2, 0));
            });
        QCOMPARE(result.status, TiledPassResult::Status::Failed);
        QVERIFY2(result.reason.startsWith(QStringLiteral("tile (")), qPrintable(result.reason));
        QVERIFY(result.image.isNull());
        QCOMPARE(calls, 3);
    }

    void nullSourceAndUnusableTile()
    {
        auto never = [](const QImage &) -> TileInference {
            qFatal("no inference expected");
            return {};
        };
        const TiledPassResult null = engine::runTiledPass(QImage(), 64, 2, never);
        QCOMPARE(null.status, TiledPassResult::Status::Failed);
        QCOMPARE(null.reason, QStringLiteral("null source"));
        const TiledPassResult unusable = engine::runTiledPass(noise(QSize(10, 10), 1), 0, 2, never);
        QCOMPARE(unusable.status, TiledPassResult::Status::Failed);
        QVERIFY2(unusable.reason.startsWith(QStringLiteral("cannot tile")), qPrintable(unusable.reason));
    }

    // A network that takes only even sizes (one that folds 2x2 blocks) sees copies cut at odd edges
    // with their last column and row repeated, exactly as it would see the whole picture.
    void foldingNetworkOnOddSizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("tile");
        QTest::newRow("157x93 T32") << QSize(157, 93) << 32;
        QTest::newRow("one tile 45x37 T64") << QSize(45, 37) << 64;
    }
    void foldingNetworkOnOddSizes()
    {
        QFETCH(QSize, size);
        QFETCH(int, tile);
        const QImage source = noise(size, 11);
        const TiledPassResult result = engine::runTiledPass(
            source, tile, 2,
            [](const QImage &in) {
                if (in.width() % 2 || in.height() % 2)
                    return TileInference{{}, TileInference::Status::Failed, QStringLiteral("odd")};
                return TileInference::ok(windowNetwork(in, 2, 20));
            },
            {}, 2);
        QVERIFY2(result.isOk(), qPrintable(result.reason));
        QCOMPARE(result.image, wholeImageReference(source, 2, 20, 2));
    }

    // Tiles of the extension count for progress but are never inferred; the network never sees a
    // pixel that is not the picture's.
    void extensionIsNeverInferred()
    {
        int tilesSeen = 0;
        engine::ProgressObserver observer;
        observer.tileStarted = [&](const engine::TilePlan &, const engine::Tile &) {
            ++tilesSeen;
        };
        QList<QSize> inputs;
        const QImage source = noise(QSize(64, 64), 2);
        const TiledPassResult result = engine::runTiledPass(
            source, 64, 4,
            [&](const QImage &in) {
                inputs << in.size();
                return TileInference::ok(windowNetwork(in, 4, 0));
            },
            observer);
        QVERIFY(result.isOk());
        QCOMPARE(tilesSeen, 2);
        QCOMPARE(inputs, QList<QSize>{QSize(64, 64)});
        QCOMPARE(result.image.size(), QSize(256, 256));
    }

    // A clear pixel reaches the network as black, whatever colour it stores.
    void clearPixelsAreBlackToTheNetwork()
    {
        QImage source(3, 1, QImage::Format_ARGB32);
        source.setPixel(0, 0, qRgba(10, 20, 30, 255));
        source.setPixel(1, 0, qRgba(200, 100, 50, 0));
        source.setPixel(2, 0, qRgba(200, 100, 50, 128));
        const QImage picture = engine::networkPicture(engine::Picture::asStored(source));
        QCOMPARE(picture.format(), QImage::Format_RGB888);
        QCOMPARE(picture.pixel(0, 0), qRgb(10, 20, 30));
        QCOMPARE(picture.pixel(1, 0), qRgb(0, 0, 0));
    }
};

QTEST_GUILESS_MAIN(TiledPassTest)
#include "tst_tiledPass.moc"
