#include "workspace/previewRender.h"

#include <QFile>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QTest>

class TestPreviewUnits : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    void fitsTheArea_data()
    {
        QTest::addColumn<QSize>("image");
        QTest::addColumn<QSize>("area");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("portrait fills the height") << QSize(300, 600) << QSize(500, 400) << QSize(200, 400);
        QTest::newRow("panorama fills the width") << QSize(2000, 200) << QSize(600, 300) << QSize(600, 60);
        QTest::newRow("scanned page wider than the area")
            << QSize(2480, 1754) << QSize(400, 700) << QSize(400, 282);
        QTest::newRow("enlarged") << QSize(40, 20) << QSize(300, 100) << QSize(200, 100);
    }
    void fitsTheArea()
    {
        QFETCH(QSize, image);
        QFETCH(QSize, area);
        QFETCH(QSize, expected);
        QImage source(image, QImage::Format_RGB32);
        source.fill(Qt::blue);
        const QString path = dir.filePath(QStringLiteral("p.png"));
        QVERIFY(source.save(path));
        QCOMPARE(renderPreview(path, area).size(), expected);
    }

    void unreadableGivesNull_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("area");
        QTest::newRow("empty path") << QString() << QSize(100, 100);
        QTest::newRow("missing") << dir.filePath(QStringLiteral("gone.png")) << QSize(100, 100);
        QTest::newRow("damaged") << dir.filePath(QStringLiteral("damaged.png")) << QSize(100, 100);
        QTest::newRow("area not laid out") << dir.filePath(QStringLiteral("ok.png")) << QSize(100, 0);
    }
    void unreadableGivesNull()
    {
        QFile damaged(dir.filePath(QStringLiteral("damaged.png")));
        QVERIFY(damaged.open(QIODevice::WriteOnly));
        damaged.write("\x89PNG not really");
        damaged.close();
        QImage ok(10, 10, QImage::Format_RGB32);
        ok.fill(Qt::green);
        QVERIFY(ok.save(dir.filePath(QStringLiteral("ok.png"))));
        QFETCH(QString, path);
        QFETCH(QSize, area);
        QVERIFY(renderPreview(path, area).isNull());
    }

    // The preview shows the picture the way its thumbnail and its upscaled result do.
    void appliesStoredOrientation()
    {
        QImage image(200, 100, QImage::Format_RGB32);
        image.fill(Qt::red);
        const QString path = dir.filePath(QStringLiteral("turned.tif"));
        QImageWriter writer(path, "tiff");
        if (!writer.supportsOption(QImageIOHandler::ImageTransformation))
            QSKIP("the TIFF writer cannot store an orientation");
        writer.setTransformation(QImageIOHandler::TransformationRotate90);
        QVERIFY(writer.write(image));
        QCOMPARE(renderPreview(path, QSize(400, 400)).size(), QSize(200, 400));
    }

    // Source and result at the size the result takes in the area, whatever the source's own size
    // (a result asked for at another aspect ratio stretches the source to it).
    void comparisonLinesUp_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("result"); // empty: no result file
        QTest::addColumn<QSize>("area");
        QTest::addColumn<QSize>("shown");
        QTest::newRow("x4 reduced to the area")
            << QSize(100, 50) << QSize(400, 200) << QSize(300, 300) << QSize(300, 150);
        QTest::newRow("x2 of a portrait")
            << QSize(60, 90) << QSize(120, 180) << QSize(500, 300) << QSize(200, 300);
        QTest::newRow("result rounded a pixel wider")
            << QSize(33, 20) << QSize(133, 80) << QSize(133, 80) << QSize(133, 80);
        QTest::newRow("result missing: the plain preview")
            << QSize(100, 50) << QSize() << QSize(300, 300) << QSize(300, 150);
    }
    void comparisonLinesUp()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, result);
        QFETCH(QSize, area);
        QFETCH(QSize, shown);
        QImage before(source, QImage::Format_RGB32);
        before.fill(Qt::red);
        const QString sourcePath = dir.filePath(QStringLiteral("before.png"));
        QVERIFY(before.save(sourcePath));
        const QString resultPath = dir.filePath(QStringLiteral("after.png"));
        QFile::remove(resultPath);
        if (!result.isEmpty()) {
            QImage after(result, QImage::Format_RGB32);
            after.fill(Qt::blue);
            QVERIFY(after.save(resultPath));
        }
        const PreviewPair pair = renderComparison(sourcePath, resultPath, area);
        QCOMPARE(pair.source.size(), shown);
        QCOMPARE(pair.isComparison(), !result.isEmpty());
        if (!pair.isComparison()) {
            QVERIFY(composeComparison(pair, 0.5, ComparisonSide::Split).isNull());
            return;
        }
        QCOMPARE(pair.result.size(), shown);

        // Split at a quarter: the source left of it, the result right of it, the line on it.
        const QImage split = composeComparison(pair, 0.25, ComparisonSide::Split);
        QCOMPARE(split.size(), shown);
        const int y = shown.height() / 4;
        const int x = qRound(shown.width() * 0.25);
        QCOMPARE(split.pixelColor(x / 2, y), QColor(Qt::red));
        QCOMPARE(split.pixelColor((x + shown.width()) / 2, y), QColor(Qt::blue));
        QCOMPARE(split.pixelColor(x, y), QColor(Qt::white));
        // One of them whole.
        QCOMPARE(composeComparison(pair, 0.25, ComparisonSide::Source).pixelColor(shown.width() - 1, y),
                 QColor(Qt::red));
        QCOMPARE(composeComparison(pair, 0.25, ComparisonSide::Result).pixelColor(0, y), QColor(Qt::blue));
    }
};

QTEST_GUILESS_MAIN(TestPreviewUnits)
#include "test_preview_units.moc"
