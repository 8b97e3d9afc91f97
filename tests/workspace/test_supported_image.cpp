#include "workspace/supportedImage.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestSupportedImage : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString touch(const QString &name)
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot create a test file");
        file.write("x");
        return path;
    }

private slots:
    void suffixes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<bool>("dragged");
        QTest::newRow("upper-case JPEG") << "photo.JPEG" << true << true;
        QTest::newRow("mixed-case TiF") << "scan.TiF" << true << true;
        QTest::newRow("text file") << "notes.txt" << false << false;
        QTest::newRow("image name inside an archive") << "archive.png.zip" << false << false;
        QTest::newRow("named like a suffix, no dot") << "png" << false << false;
        QTest::newRow("last of several suffixes") << "holiday.final.JPG" << true << true;
        QTest::newRow("svg only passes the drag test") << "logo.svg" << false << true;
        QTest::newRow("trailing dot") << "photo.png." << false << false;
    }
    void suffixes()
    {
        QFETCH(QString, name);
        QFETCH(bool, listed);
        QFETCH(bool, dragged);
        const QString path = touch(name);
        QCOMPARE(isSupportedImage(path), listed);
        QCOMPARE(acceptsDraggedImage(path), dragged);
    }

    void onlyExistingRegularFiles_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("empty path") << QString();
        QTest::newRow("missing file") << dir.filePath(QStringLiteral("gone.png"));
        QTest::newRow("folder with an image name") << dir.filePath(QStringLiteral("album.jpg"));
    }
    void onlyExistingRegularFiles()
    {
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("album.jpg")));
        QFETCH(QString, path);
        QVERIFY(!isSupportedImage(path));
        QVERIFY(!acceptsDraggedImage(path));
    }
};

QTEST_GUILESS_MAIN(TestSupportedImage)
#include "test_supported_image.moc"
