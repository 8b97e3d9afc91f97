#include "workspace/deleteList.h"
#include "workspace/folderWalk.h"
#include "workspace/listedPath.h"
#include "workspace/naturalOrder.h"
#include "workspace/thumbnail.h"
#include "workspace/thumbnailBatch.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>

class TestFileListUnits : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString writeImage(const QString &name, int width, int height, const QByteArray &format = "png")
    {
        QImage image(width, height, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        const QString path = dir.filePath(name);
        QImageWriter writer(path, format);
        if (!writer.write(image))
            qFatal("cannot write a test image");
        return path;
    }
    QString writeBytes(const QString &relative, const QByteArray &bytes)
    {
        const QString path = dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write a test file");
        file.write(bytes);
        return path;
    }

private slots:
    // A selected row brings one index per column, in whatever order the selection model lists them.
    void deleteList_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("nothing") << QList<int>{} << QList<int>{};
        QTest::newRow("one row, both columns") << QList<int>{3, 3} << QList<int>{3};
        QTest::newRow("column by column") << QList<int>{0, 2, 5, 0, 2, 5} << QList<int>{5, 2, 0};
        QTest::newRow("row by row") << QList<int>{1, 1, 4, 4, 2, 2} << QList<int>{4, 2, 1};
        QTest::newRow("descending input") << QList<int>{9, 7, 7, 9, 8} << QList<int>{9, 8, 7};
        QTest::newRow("ascending input") << QList<int>{0, 1, 2, 3} << QList<int>{3, 2, 1, 0};
    }
    void deleteList()
    {
        QFETCH(QList<int>, rows);
        QFETCH(QList<int>, expected);
        QCOMPARE(buildDeleteList(rows), expected);
    }

    void listedPathIgnoresLetterCase()
    {
        QStandardItemModel model(0, 2);
        const QStringList paths{QStringLiteral("/pics/A.png"), QStringLiteral("/pics/b.jpg")};
        for (const QString &path : paths)
            model.appendRow({new QStandardItem(QFileInfo(path).fileName()), new QStandardItem(path)});
        QCOMPARE(findListedPath(model, 1, QStringLiteral("/PICS/a.PNG")), 0);
        QCOMPARE(findListedPath(model, 1, QStringLiteral("/pics/B.JPG")), 1);
        QCOMPARE(findListedPath(model, 1, QStringLiteral("/pics/c.jpg")), -1);
        // The name column is not the key.
        QCOMPARE(findListedPath(model, 1, QStringLiteral("A.png")), -1);
    }

    // A folder's files in natural name order, then its subfolders in the same order, depth first.
    void folderWalk()
    {
        const QString root = dir.filePath(QStringLiteral("tree"));
        for (const char *name :
             {"tree/top.png", "tree/img10.png", "tree/img2.png", "tree/Img3.png", "tree/README",
              "tree/.hidden.png", "tree/.cache/hidden-folder.png", "tree/a/b/c/deep.JPG", "tree/a/notes.txt",
              "tree/a/noext", "tree/a10/x.png", "tree/a2/y.png", "elsewhere/linked.png"})
            writeBytes(QString::fromLatin1(name), "x");
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), root + QStringLiteral("/link")));

        QStringList found;
        FolderWalk walk(root);
        QString path;
        while (walk.next(&path))
            found << QDir(root).relativeFilePath(path);
        const QStringList expected{QStringLiteral("img2.png"),    QStringLiteral("Img3.png"),
                                   QStringLiteral("img10.png"),   QStringLiteral("top.png"),
                                   QStringLiteral("a/notes.txt"), QStringLiteral("a/b/c/deep.JPG"),
                                   QStringLiteral("a2/y.png"),    QStringLiteral("a10/x.png")};
        QCOMPARE(found, expected);
    }

    void naturalOrder_data()
    {
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("numbers by value") << QStringLiteral("img2.png") << QStringLiteral("img10.png");
        QTest::newRow("letters ignore case") << QStringLiteral("apple.png") << QStringLiteral("Banana.png");
        QTest::newRow("prefix first") << QStringLiteral("img") << QStringLiteral("img1");
        QTest::newRow("longer than any integer")
            << QStringLiteral("x99999999999999999999") << QStringLiteral("x100000000000000000000");
        QTest::newRow("equal value, fixed order") << QStringLiteral("img007") << QStringLiteral("img7");
    }
    void naturalOrder()
    {
        QFETCH(QString, first);
        QFETCH(QString, second);
        QVERIFY(naturalLess(first, second));
        QVERIFY(!naturalLess(second, first));
    }

    void thumbnails_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<QSize>("thumb");
        QTest::addColumn<qreal>("ratio"); // the screen's device pixel ratio
        QTest::newRow("landscape") << 1000 << 500 << QSize(128, 64) << 1.0;
        QTest::newRow("portrait") << 500 << 1000 << QSize(64, 128) << 1.0;
        QTest::newRow("square") << 300 << 300 << QSize(64, 64) << 1.0;
        QTest::newRow("smaller than the thumbnail") << 40 << 20 << QSize(128, 64) << 1.0;
        // Decoded at the screen's pixels, shown at the same 64 logical pixels.
        QTest::newRow("landscape at 2") << 1000 << 500 << QSize(256, 128) << 2.0;
        QTest::newRow("square at 1.5") << 300 << 300 << QSize(96, 96) << 1.5;
    }
    void thumbnails()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(QSize, thumb);
        QFETCH(qreal, ratio);
        const Thumbnail result =
            decodeThumbnail(writeImage(QStringLiteral("shape.png"), width, height), ratio);
        QCOMPARE(result.image.size(), thumb);
        QCOMPARE(result.image.deviceIndependentSize().toSize(), thumb / ratio);
        QCOMPARE(result.sizeText, QString::number(width) + QLatin1Char('x') + QString::number(height));
    }

    void thumbnailOfUnreadableFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("damaged png") << QByteArray("\x89PNG\r\n\x1a\n garbage that is not a png", 34);
        QTest::newRow("empty file") << QByteArray();
        QTest::newRow("text behind an image name") << QByteArray("hello world");
    }
    void thumbnailOfUnreadableFiles()
    {
        QFETCH(QByteArray, bytes);
        const Thumbnail result = decodeThumbnail(writeBytes(QStringLiteral("damaged.png"), bytes));
        QVERIFY(result.image.isNull());
        QCOMPARE(result.sizeText, QStringLiteral("0x0"));
        QCOMPARE(decodeThumbnail(dir.filePath(QStringLiteral("missing.png"))).sizeText,
                 QStringLiteral("0x0"));
    }

    // The orientation stored in the file turns the thumbnail and its size text.
    void thumbnailAppliesOrientation()
    {
        QImage image(200, 100, QImage::Format_RGB32);
        image.fill(Qt::red);
        const QString path = dir.filePath(QStringLiteral("turned.tif"));
        QImageWriter writer(path, "tiff");
        if (!writer.supportsOption(QImageIOHandler::ImageTransformation))
            QSKIP("the TIFF writer cannot store an orientation");
        writer.setTransformation(QImageIOHandler::TransformationRotate90);
        QVERIFY(writer.write(image));
        const Thumbnail result = decodeThumbnail(path);
        QCOMPARE(result.sizeText, QStringLiteral("100x200"));
        QCOMPARE(result.image.size(), QSize(64, 128));
    }

    // Large pictures first, so the pool finishes later ones earlier; delivery stays in path order.
    void batchDeliversInOrder()
    {
        QStringList paths;
        for (int i = 0; i < 16; ++i) {
            const int width = i < 4 ? 2000 : 10 + i;
            paths << writeImage(QStringLiteral("batch%1.png").arg(i), width, 20);
        }
        paths << dir.filePath(QStringLiteral("missing.png"));
        QList<int> order;
        QStringList sizes;
        ThumbnailBatch batch(paths, nullptr);
        connect(&batch, &ThumbnailBatch::ready, this, [&](int index, const Thumbnail &thumbnail) {
            order << index;
            sizes << thumbnail.sizeText;
        });
        QSignalSpy finished(&batch, &ThumbnailBatch::finished);
        QVERIFY(finished.wait(20000));
        QList<int> expected;
        for (int i = 0; i < paths.size(); ++i)
            expected << i;
        QCOMPARE(order, expected);
        QCOMPARE(sizes.at(0), QStringLiteral("2000x20"));
        QCOMPARE(sizes.at(15), QStringLiteral("25x20"));
        QCOMPARE(sizes.last(), QStringLiteral("0x0"));
    }

    void batchDestroyedWhileRunning()
    {
        QStringList paths;
        for (int i = 0; i < 8; ++i)
            paths << writeImage(QStringLiteral("gone%1.png").arg(i), 1500, 1500);
        int delivered = 0;
        {
            ThumbnailBatch batch(paths, nullptr);
            connect(&batch, &ThumbnailBatch::ready, this, [&] { ++delivered; });
        }
        QCoreApplication::processEvents();
        QCOMPARE(delivered, 0);
    }
};

QTEST_GUILESS_MAIN(TestFileListUnits)
#include "test_filelist_units.moc"
