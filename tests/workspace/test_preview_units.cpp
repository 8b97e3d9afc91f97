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
};

QTEST_GUILESS_MAIN(TestPreviewUnits)
#include "test_preview_units.moc"
