#include "workspace/engine/transparency.h"

#include <QColorSpace>
#include <QTest>

class TransparencyTest : public QObject {
    Q_OBJECT

private slots:
    void detection_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<bool>("transparent");

        QImage opaqueAlpha(20, 10, QImage::Format_ARGB32);
        opaqueAlpha.fill(qRgba(1, 2, 3, 255));
        QTest::newRow("alpha channel, all opaque") << opaqueAlpha << false;

        QImage lastPixel = opaqueAlpha;
        lastPixel.setPixel(19, 9, qRgba(1, 2, 3, 254));
        QTest::newRow("only the bottom-right pixel is not opaque") << lastPixel << true;

        QImage rgb(20, 10, QImage::Format_RGB32);
        rgb.fill(Qt::red);
        QTest::newRow("no alpha channel") << rgb << false;

        QImage premultiplied(4, 4, QImage::Format_ARGB32_Premultiplied);
        premultiplied.fill(Qt::transparent);
        QTest::newRow("premultiplied, clear") << premultiplied << true;

        QImage indexed(4, 4, QImage::Format_Indexed8);
        indexed.setColorTable({qRgba(0, 0, 0, 255), qRgba(9, 9, 9, 0)});
        indexed.fill(0);
        indexed.setPixel(3, 3, 1);
        QTest::newRow("palette with a clear entry") << indexed << true;

        QTest::newRow("null") << QImage() << false;
    }
    void detection()
    {
        QFETCH(QImage, image);
        QTEST(engine::hasTransparency(image), "transparent");
    }

    void alphaPlaneHoldsStraightAlpha()
    {
        QImage image(3, 2, QImage::Format_ARGB32);
        image.fill(qRgba(200, 100, 50, 255));
        image.setPixel(1, 0, qRgba(200, 100, 50, 0));
        image.setPixel(2, 1, qRgba(200, 100, 50, 128));
        const QImage alpha = engine::extractAlphaPlane(engine::Picture::decoded(image));
        QCOMPARE(alpha.format(), QImage::Format_Grayscale8);
        QCOMPARE(alpha.size(), QSize(3, 2));
        QCOMPARE(alpha.constScanLine(0)[0], uchar(255));
        QCOMPARE(alpha.constScanLine(0)[1], uchar(0));
        QCOMPARE(alpha.constScanLine(1)[2], uchar(128));
    }

    void flatteningComposesOverWhite()
    {
        QImage image(2, 1, QImage::Format_ARGB32);
        image.setPixel(0, 0, qRgba(0, 0, 0, 0));
        image.setPixel(1, 0, qRgba(0, 0, 0, 128));
        const QImage flat = engine::flattenOnWhite(image);
        QCOMPARE(flat.format(), QImage::Format_RGB888);
        QCOMPARE(flat.pixel(0, 0), qRgb(255, 255, 255));
        QVERIFY(qAbs(qRed(flat.pixel(1, 0)) - 127) <= 1);
    }

    // 100x80 at x4: the plane is scaled to 400x320 and merged; clear areas stay clear, solid areas
    // solid, and a hard edge comes out softened.
    void mergeScalesThePlaneToTheColour()
    {
        QImage source(100, 80, QImage::Format_ARGB32);
        source.fill(qRgba(10, 20, 30, 255));
        for (int y = 0; y < 80; ++y)
            for (int x = 50; x < 100; ++x)
                source.setPixel(x, y, qRgba(10, 20, 30, 0));
        QImage colour(400, 320, QImage::Format_RGB888);
        colour.fill(qRgb(7, 8, 9));
        colour.setColorSpace(QColorSpace::DisplayP3);

        const QImage merged =
            engine::mergeAlpha(colour, engine::extractAlphaPlane(engine::Picture::decoded(source)), 8);
        QCOMPARE(merged.format(), QImage::Format_RGBA8888);
        QCOMPARE(merged.size(), QSize(400, 320));
        QCOMPARE(merged.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
        const uchar *row = merged.constScanLine(160);
        QCOMPARE(row[0], uchar(7));
        QCOMPARE(row[1], uchar(8));
        QCOMPARE(row[2], uchar(9));
        QCOMPARE(row[3], uchar(255));
        QCOMPARE(row[4 * 399 + 3], uchar(0));
        QCOMPARE(row[4 * 300 + 3], uchar(0));
        const int edge = row[4 * 199 + 3];
        QVERIFY2(edge > 0 && edge < 255, qPrintable(QString::number(edge)));
    }

    void mergeOfNothingIsNothing()
    {
        QVERIFY(engine::mergeAlpha(QImage(), QImage(2, 2, QImage::Format_Grayscale8), 8).isNull());
        QVERIFY(engine::mergeAlpha(QImage(2, 2, QImage::Format_RGB888), QImage(), 8).isNull());
    }
};

QTEST_GUILESS_MAIN(TransparencyTest)
#include "tst_transparency.moc"
