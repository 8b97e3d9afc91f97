#include "workspace/engine/imageInput.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/pngOutput.h"
#include "workspace/engine/resultMark.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QImage smallImage()
{
    QImage image(8, 6, QImage::Format_RGB888);
    image.fill(qRgb(40, 80, 120));
    return image;
}

// A JPEG with an EXIF block whose only entry is the orientation tag.
QByteArray jpegWithOrientation(const QImage &image, quint16 orientation)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    const char ifd[] = {1,    0,                                                  // one entry
                        0x12, 0x01, 3, 0, 1, 0, 0, 0, char(orientation), 0, 0, 0, // orientation, SHORT
                        0,    0,    0, 0};                                        // no next directory
    tiff.append(ifd, sizeof ifd);
    QByteArray app1("Exif\0\0", 6);
    app1 += tiff;
    const int length = int(app1.size()) + 2;
    QByteArray segment("\xff\xe1", 2);
    segment.append(char(length >> 8)).append(char(length & 0xff)).append(app1);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

class OutputTest : public QObject {
    Q_OBJECT

private slots:
    void displayName_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("shown");
        QTest::newRow("short") << 10 << 10;
        QTest::newRow("256 shown whole") << 256 << 256;
        QTest::newRow("257 shortened") << 257 << 256;
        QTest::newRow("1000 shortened") << 1000 << 256;
    }
    void displayName()
    {
        QFETCH(int, length);
        QString path;
        for (int i = 0; i < length; ++i)
            path += QChar(u'a' + i % 26);
        const QString shown = engine::displayName(path);
        QTEST(int(shown.size()), "shown");
        if (length > 256) {
            QCOMPARE(shown.left(127), path.left(127));
            QCOMPARE(shown.mid(127, 3), QStringLiteral("..."));
            QCOMPARE(shown.right(126), path.right(126));
        } else {
            QCOMPARE(shown, path);
        }
    }

    // Only the last suffix gives way: dots inside a name (dates, times, versions) stay.
    void candidates_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<int>("k");
        QTest::addColumn<QString>("name");
        QTest::newRow("first") << "/in/photo.final.jpg" << 1 << QStringLiteral("/out/photo.final.png");
        QTest::newRow("second") << "/in/photo.final.jpg" << 2 << QStringLiteral("/out/photo.final(2).png");
        QTest::newRow("third") << "/in/photo.final.jpg" << 3 << QStringLiteral("/out/photo.final(3).png");
        QTest::newRow("several dots") << "/in/trip.day1.png" << 1 << QStringLiteral("/out/trip.day1.png");
        QTest::newRow("a time in the name") << "/in/Screenshot 2024-01-01 at 10.23.45.png" << 1
                                            << QStringLiteral("/out/Screenshot 2024-01-01 at 10.23.45.png");
        QTest::newRow("leading dot") << "/in/.a.png" << 1 << QStringLiteral("/out/.a.png");
        QTest::newRow("only a suffix") << "/in/.png" << 2 << QStringLiteral("/out/.png(2).png");
        QTest::newRow("no suffix") << "/in/scan" << 1 << QStringLiteral("/out/scan.png");
    }
    void candidates()
    {
        QFETCH(QString, input);
        QFETCH(int, k);
        QTEST(engine::outputCandidate(QStringLiteral("/out"), input, k), "name");
    }

    void writesNeverOverwrite()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString input = dir.filePath(QStringLiteral("photo.final.jpg"));
        QStringList written;
        for (int i = 0; i < 3; ++i) {
            const engine::PngWriteResult r = engine::writeNewPng(smallImage(), dir.path(), input);
            QVERIFY2(r.ok(), qPrintable(r.error));
            written << QFileInfo(r.path).fileName();
        }
        QCOMPARE(written,
                 (QStringList{QStringLiteral("photo.final.png"), QStringLiteral("photo.final(2).png"),
                              QStringLiteral("photo.final(3).png")}));
        QCOMPARE(QImageReader(dir.filePath(QStringLiteral("photo.final(2).png"))).format(),
                 QByteArray("png"));
        // The permissions of any new file, not those of a private temporary one.
        QFile plain(dir.filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        QCOMPARE(QFile::permissions(dir.filePath(QStringLiteral("photo.final.png"))), plain.permissions());
    }

    // The result of ".a.png" is the hidden ".a.png": a resumed run finds it like any other.
    void hiddenResultsAreFound()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("in/.a.png"));
        QImage image = smallImage();
        engine::markAsResult(image, input);
        const engine::PngWriteResult r = engine::writeNewPng(image, dir.path(), input);
        QVERIFY2(r.ok(), qPrintable(r.error));
        QCOMPARE(QFileInfo(r.path).fileName(), QStringLiteral(".a.png"));
        QCOMPARE(engine::ResultIndex(dir.path()).resultOf(input), r.path);
    }

    // An input in the output folder under the name the result would get is left alone.
    void inputInTheOutputFolderIsKept()
    {
        QTemporaryDir dir;
        const QString input = dir.filePath(QStringLiteral("a.png"));
        QVERIFY(writeFile(input, "not really a png"));
        const engine::PngWriteResult r = engine::writeNewPng(smallImage(), dir.path(), input);
        QVERIFY(r.ok());
        QCOMPARE(QFileInfo(r.path).fileName(), QStringLiteral("a(2).png"));
        QFile original(input);
        QVERIFY(original.open(QIODevice::ReadOnly));
        QCOMPARE(original.readAll(), QByteArray("not really a png"));
    }

    void failuresLeaveNothing_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("read-only folder") << true;
        QTest::newRow("missing folder") << false;
    }
    void failuresLeaveNothing()
    {
        QFETCH(bool, readOnly);
        QTemporaryDir dir;
        QString folder = dir.filePath(QStringLiteral("out"));
        if (readOnly) {
            QVERIFY(QDir().mkdir(folder));
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
            if (QFileInfo(folder).isWritable())
                QSKIP("running with rights that ignore folder permissions");
        }
        const engine::PngWriteResult r =
            engine::writeNewPng(smallImage(), folder, QStringLiteral("/in/photo.jpg"));
        QVERIFY(!r.ok());
        QVERIFY(!r.error.isEmpty());
        if (readOnly) {
            QVERIFY(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        QVERIFY(!engine::writeNewPng(QImage(), dir.path(), QStringLiteral("x.jpg")).ok());
    }

    // The file is created and then the disk refuses the bytes (a file-size limit stands in for a full
    // disk, and holds even for root): nothing half-written may stay.
    void failedWriteRemovesItsFile()
    {
        QTemporaryDir dir;
        QImage big(256, 256, QImage::Format_RGB888);
        QRandomGenerator random(11);
        for (int y = 0; y < big.height(); ++y)
            for (int x = 0; x < big.width(); ++x)
                big.setPixel(x, y, random.generate());
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old;
        limit.rlim_cur = 4096;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const engine::PngWriteResult r = engine::writeNewPng(big, dir.path(), QStringLiteral("/in/big.jpg"));
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY(!r.ok());
        QVERIFY(!r.error.isEmpty());
        // Hidden too: the picture is encoded under a hidden name before it takes its own.
        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
    }

    void nonAsciiPathsAndColourProfile()
    {
        QTemporaryDir dir;
        const QString folder = dir.filePath(QStringLiteral("Ausgabe ü 写真"));
        QVERIFY(QDir().mkdir(folder));
        QImage image = smallImage();
        image.setColorSpace(QColorSpace::AdobeRgb);
        const engine::PngWriteResult r =
            engine::writeNewPng(image, folder, dir.filePath(QStringLiteral("Bild é.jpg")));
        QVERIFY2(r.ok(), qPrintable(r.error));
        QCOMPARE(QFileInfo(r.path).fileName(), QStringLiteral("Bild é.png"));
        const engine::LoadedImage back = engine::loadInputImage(r.path);
        QVERIFY(!back.image.isNull());
        QCOMPARE(back.image.colorSpace(), QColorSpace(QColorSpace::AdobeRgb));
    }

    // A profile the PNG encoder refuses (here for a rendering intent beyond the ICC's limit) costs the
    // result only its profile, and the note says so.
    void refusedProfileIsLeftOut()
    {
        QByteArray icc = QColorSpace(QColorSpace::SRgb).iccProfile();
        icc[65] = 1; // the rendering intent, bytes 64 to 67 of the header: 0x10000
        QImage image = smallImage();
        image.setColorSpace(QColorSpace::fromIccProfile(icc));
        QVERIFY(image.colorSpace().isValid());
        QTemporaryDir dir;
        const engine::PngWriteResult r = engine::writeNewPng(image, dir.path(), QStringLiteral("/in/p.jpg"));
        QVERIFY2(r.ok(), qPrintable(r.error));
        QVERIFY2(r.note.startsWith(QStringLiteral("its colour profile was left out: ")), qPrintable(r.note));
        QCOMPARE(QImage(r.path).size(), image.size());
        QVERIFY(!QImage(r.path).colorSpace().isValid());
    }

    // Every EXIF orientation: the stored 16x8 picture, dark on its left quarter, comes out upright, and
    // its colour profile with it, through quarter turns too.
    void orientationIsApplied_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("dark"); // a pixel of the dark quarter, upright
        QTest::addColumn<QPoint>("light");
        QTest::newRow("1 as stored") << 1 << QSize(16, 8) << QPoint(1, 4) << QPoint(14, 4);
        QTest::newRow("2 mirrored") << 2 << QSize(16, 8) << QPoint(14, 4) << QPoint(1, 4);
        QTest::newRow("3 half turn") << 3 << QSize(16, 8) << QPoint(14, 4) << QPoint(1, 4);
        QTest::newRow("4 flipped") << 4 << QSize(16, 8) << QPoint(1, 4) << QPoint(14, 4);
        QTest::newRow("5 transposed") << 5 << QSize(8, 16) << QPoint(4, 1) << QPoint(4, 14);
        QTest::newRow("6 turned clockwise") << 6 << QSize(8, 16) << QPoint(4, 1) << QPoint(4, 14);
        QTest::newRow("7 transversed") << 7 << QSize(8, 16) << QPoint(4, 14) << QPoint(4, 1);
        QTest::newRow("8 turned back") << 8 << QSize(8, 16) << QPoint(4, 14) << QPoint(4, 1);
    }
    void orientationIsApplied()
    {
        QFETCH(int, orientation);
        QFETCH(QPoint, dark);
        QFETCH(QPoint, light);
        QTemporaryDir dir;
        QImage stored(16, 8, QImage::Format_RGB888);
        stored.fill(Qt::white);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 4; ++x)
                stored.setPixel(x, y, qRgb(0, 0, 0));
        stored.setColorSpace(QColorSpace::AdobeRgb);
        const QString path = dir.filePath(QStringLiteral("portrait.jpg"));
        QVERIFY(writeFile(path, jpegWithOrientation(stored, quint16(orientation))));
        const engine::LoadedImage loaded = engine::loadInputImage(path);
        QVERIFY(!loaded.image.isNull());
        QTEST(loaded.image.size(), "size");
        QVERIFY(qRed(loaded.image.pixel(dark)) < 60);
        QVERIFY(qRed(loaded.image.pixel(light)) > 200);
        QCOMPARE(loaded.image.colorSpace(), QColorSpace(QColorSpace::AdobeRgb));
        // The record says what was applied, and keeps the profile.
        QCOMPARE(loaded.orientation, orientation);
        QCOMPARE(QColorSpace::fromIccProfile(loaded.iccProfile), QColorSpace(QColorSpace::AdobeRgb));
    }

    void unreadableInputSaysWhy()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("broken.png"));
        QVERIFY(writeFile(path, "\x89PNG garbage"));
        const engine::LoadedImage loaded = engine::loadInputImage(path);
        QVERIFY(loaded.image.isNull());
        QVERIFY(!loaded.error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(OutputTest)
#include "tst_output.moc"
