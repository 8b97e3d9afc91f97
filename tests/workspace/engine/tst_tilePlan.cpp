#include "workspace/engine/tilePlan.h"

#include <QTest>

class TilePlanTest : public QObject {
    Q_OBJECT

private slots:
    void geometry_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<int>("tile");
        QTest::addColumn<int>("scale");
        QTest::addColumn<int>("extendedWidth");
        QTest::addColumn<int>("tiles");
        QTest::addColumn<int>("maximum");
        QTest::addColumn<QSize>("result");
        QTest::newRow("1000x700 T64 x2")
            << QSize(1000, 700) << 64 << 2 << 1024 << 176 << 185 << QSize(2000, 1400);
        QTest::newRow("64x64 T64 x4: a whole extra column")
            << QSize(64, 64) << 64 << 4 << 128 << 2 << 12 << QSize(256, 256);
        QTest::newRow("2048x100 T64 x2: more tiles than maximum")
            << QSize(2048, 100) << 64 << 2 << 2112 << 66 << 61 << QSize(4096, 200);
        QTest::newRow("lower than the tile") << QSize(50, 20) << 96 << 4 << 96 << 1 << 10 << QSize(200, 80);
        QTest::newRow("odd sizes T32") << QSize(33, 65) << 32 << 2 << 64 << 6 << 14 << QSize(66, 130);
    }
    void geometry()
    {
        QFETCH(QSize, source);
        QFETCH(int, tile);
        QFETCH(int, scale);
        const engine::TilePlan plan = engine::planTiles(source, tile, scale);
        QVERIFY(plan.isValid());
        QTEST(plan.extendedWidth, "extendedWidth");
        QTEST(plan.tileCount(), "tiles");
        QTEST(plan.progressMaximum, "maximum");
        QTEST(plan.resultSize(), "result");
    }

    // Every pixel of the picture is covered by exactly one tile; a copy stays inside the picture itself
    // (never in the extension) with at most 48 pixels of margin, and its crop sits inside the output.
    void tilesCoverThePictureOnce_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<int>("tile");
        QTest::addColumn<int>("scale");
        QTest::newRow("1000x700 T64 x2") << QSize(1000, 700) << 64 << 2;
        QTest::newRow("odd 317x211 T96 x4") << QSize(317, 211) << 96 << 4;
        QTest::newRow("tall 40x300 T32 x2") << QSize(40, 300) << 32 << 2;
        QTest::newRow("1x1 T256 x4") << QSize(1, 1) << 256 << 4;
        QTest::newRow("width a multiple of T 128x70 T64 x4") << QSize(128, 70) << 64 << 4;
    }
    void tilesCoverThePictureOnce()
    {
        QFETCH(QSize, source);
        QFETCH(int, tile);
        QFETCH(int, scale);
        const engine::TilePlan plan = engine::planTiles(source, tile, scale);
        const QRect picture(QPoint(0, 0), source);
        QList<int> covered(source.width() * source.height(), 0);
        int inExtension = 0;
        for (int i = 0; i < plan.tileCount(); ++i) {
            const engine::Tile t = plan.tile(i);
            QCOMPARE(t.number, i + 1);
            QCOMPARE(t.target, QPoint(t.x, t.y) * scale);
            if (!t.inPicture()) {
                QVERIFY(t.x >= source.width());
                ++inExtension;
                continue;
            }
            QVERIFY(picture.contains(t.copyRect));
            QCOMPARE(t.copyRect.left(), qMax(t.x - 48, 0));
            QCOMPARE(t.copyRect.top(), qMax(t.y - 48, 0));
            QCOMPARE(t.copyRect.right() + 1, qMin(source.width(), t.x + tile + 48));
            QCOMPARE(t.copyRect.bottom() + 1, qMin(source.height(), t.y + t.height + 48));
            QCOMPARE(t.inputSize, t.copyRect.size());
            QVERIFY(QRect(QPoint(0, 0), t.inputSize * scale).contains(t.cropRect));
            QCOMPARE(t.cropRect.size(), QSize(t.width, t.height) * scale);
            for (int y = t.y; y < t.y + t.height; ++y)
                for (int x = t.x; x < t.x + t.width; ++x)
                    ++covered[y * source.width() + x];
        }
        QVERIFY(std::all_of(covered.cbegin(), covered.cend(), [](int n) { return n == 1; }));
        QCOMPARE(inExtension, (plan.columns - (source.width() + tile - 1) / tile) * plan.rows);
    }

    // Networks that fold 2x2 blocks need even inputs: a copy that ends at an odd edge of the picture
    // gets one repeated column or row; the result keeps the source's size.
    void evenInputsForFoldingNetworks_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<int>("tile");
        QTest::newRow("77x45 T32") << QSize(77, 45) << 32;
        QTest::newRow("1x1 T32") << QSize(1, 1) << 32;
        QTest::newRow("101x701 T64") << QSize(101, 701) << 64;
    }
    void evenInputsForFoldingNetworks()
    {
        QFETCH(QSize, source);
        QFETCH(int, tile);
        const engine::TilePlan plan = engine::planTiles(source, tile, 2, 2);
        QCOMPARE(plan.resultSize(), source * 2);
        QCOMPARE(plan.progressMaximum, plan.extendedWidth * source.height() / (tile * tile) + 10);
        bool padded = false;
        for (int i = 0; i < plan.tileCount(); ++i) {
            const engine::Tile t = plan.tile(i);
            if (!t.inPicture())
                continue;
            QCOMPARE(t.inputSize.width() % 2, 0);
            QCOMPARE(t.inputSize.height() % 2, 0);
            QVERIFY(t.inputSize.width() - t.copyRect.width() <= 1);
            QVERIFY(t.inputSize.height() - t.copyRect.height() <= 1);
            padded = padded || t.inputSize != t.copyRect.size();
        }
        QVERIFY(padded);
    }

    void secondTileOfFirstRow()
    {
        const engine::TilePlan plan = engine::planTiles(QSize(1000, 700), 64, 2);
        QCOMPARE(plan.tile(1).x, 64);
        QCOMPARE(plan.tile(1).y, 0);
        QCOMPARE(plan.tile(1).copyRect, QRect(16, 0, 160, 112));
    }

    void unusableInputGivesNoPlan_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<int>("tile");
        QTest::addColumn<int>("scale");
        QTest::newRow("tile 0") << QSize(100, 100) << 0 << 2;
        QTest::newRow("tile not a multiple of 16") << QSize(100, 100) << 40 << 2;
        QTest::newRow("negative tile") << QSize(100, 100) << -32 << 2;
        QTest::newRow("empty image") << QSize(0, 10) << 32 << 2;
        QTest::newRow("scale 0") << QSize(10, 10) << 32 << 0;
        QTest::newRow("canvas beyond int") << QSize(400000000, 10) << 32 << 4;
    }
    void unusableInputGivesNoPlan()
    {
        QFETCH(QSize, source);
        QFETCH(int, tile);
        QFETCH(int, scale);
        QVERIFY(!engine::planTiles(source, tile, scale).isValid());
    }

    void hugeImageKeepsAPositiveMaximum()
    {
        const engine::TilePlan plan = engine::planTiles(QSize(60000, 60000), 32, 2);
        QVERIFY(plan.isValid());
        QVERIFY(plan.progressMaximum > 0);
    }
};

QTEST_GUILESS_MAIN(TilePlanTest)
#include "tst_tilePlan.moc"
