#include "workspace/supportedImage.h"

#include <QFile>
#include <QImage>
#include <QMimeDatabase>
#include <QTemporaryDir>
#include <QTest>

class TestResources : public QObject {
    Q_OBJECT

private slots:
    void imageHasItsSize_data();
    void imageHasItsSize();
    void familiesAreDistinct_data();
    void familiesAreDistinct();
    void windowsIconHoldsSevenSizes();
    void desktopEntryOffersEverySupportedImage();
};

void TestResources::imageHasItsSize_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("side");
    const char *small[] = {
        "About24.png",         "AboutWhite24.png",    "Update24.png",       "UpdateWhite24.png",
        "Web24.png",           "WebWhite24.png",      "_Add24.png",         "_AddWhite24.png",
        "_Convert24.png",      "_ConvertWhite24.png", "_ConvertGray24.png", "_Delete24.png",
        "_DeleteWhite24.png",  "_DeleteGray24.png",   "_shortcut24.png",    "_shortcutWhite24.png",
        "_shortcutGray24.png", "_Folder24.png",       "_FolderWhite24.png"};
    // Each button image with its drawing for a device pixel ratio of 2, which QIcon finds by name.
    const auto twice = [](const char *name) {
        return QString::fromLatin1(name).replace(".png", "@2x.png");
    };
    for (const char *name : small) {
        QTest::newRow(name) << QString::fromLatin1(name) << 24;
        QTest::newRow(qPrintable(twice(name))) << twice(name) << 48;
    }
    for (const char *name : {"_DropLogo.png", "_DropLogoWhite.png", "Logo128.png", "Update128.png"})
        QTest::newRow(name) << QString::fromLatin1(name) << 128;
    for (const char *name : {"_DropLogo.png", "_DropLogoWhite.png"})
        QTest::newRow(qPrintable(twice(name))) << twice(name) << 256;
    // The menu icons of the Linux install, one drawing per size.
    for (int side : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString name = QStringLiteral("packaging/icons/hicolor/%1x%1/apps/brivelle-ai.png").arg(side);
        QTest::newRow(qPrintable(name)) << name << side;
    }
}

void TestResources::imageHasItsSize()
{
    QFETCH(QString, name);
    QFETCH(int, side);
    QString path = QStringLiteral(":/resources/images/") + name;
    if (name.contains(QLatin1Char('/')))
        path = qEnvironmentVariable("BRIVELLE_SOURCE_DIR") + QLatin1Char('/') + name;
    QVERIFY2(QFile::exists(path), qPrintable(path));
    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), QSize(side, side));
    QVERIFY(image.hasAlphaChannel());
}

void TestResources::familiesAreDistinct_data()
{
    QTest::addColumn<QString>("glyph");
    QTest::addColumn<bool>("hasGray");
    QTest::newRow("About") << "About" << false;
    QTest::newRow("Update") << "Update" << false;
    QTest::newRow("Web") << "Web" << false;
    QTest::newRow("_Add") << "_Add" << false;
    QTest::newRow("_Convert") << "_Convert" << true;
    QTest::newRow("_Delete") << "_Delete" << true;
    QTest::newRow("_shortcut") << "_shortcut" << true;
    QTest::newRow("_Folder") << "_Folder" << false;
}

// The families must be told apart by their ink: dark on light themes, white on dark, grey when disabled.
void TestResources::familiesAreDistinct()
{
    QFETCH(QString, glyph);
    QFETCH(bool, hasGray);
    auto inkLightness = [](const QString &path) {
        const QImage image = QImage(path).convertToFormat(QImage::Format_ARGB32);
        qint64 sum = 0;
        qint64 weight = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                sum += qint64(c.lightness()) * c.alpha();
                weight += c.alpha();
            }
        }
        return weight ? int(sum / weight) : -1;
    };
    const QString base = QStringLiteral(":/resources/images/") + glyph;
    const int standard = inkLightness(base + QStringLiteral("24.png"));
    const int white = inkLightness(base + QStringLiteral("White24.png"));
    QVERIFY2(standard >= 0 && standard < 80, qPrintable(QString::number(standard)));
    QVERIFY2(white > 230, qPrintable(QString::number(white)));
    if (hasGray) {
        const int gray = inkLightness(base + QStringLiteral("Gray24.png"));
        QVERIFY2(gray > 100 && gray < 180, qPrintable(QString::number(gray)));
    }
}

namespace {

QByteArray sourceFile(const char *relative)
{
    QFile file(qEnvironmentVariable("BRIVELLE_SOURCE_DIR") + QLatin1Char('/') +
               QString::fromLatin1(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

quint32 littleEndian(const QByteArray &data, int offset, int bytes)
{
    quint32 value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | quint8(data.at(offset + i));
    return value;
}

} // namespace

// The executable's icon resource: seven 32-bit images of 16 to 256 pixels.
void TestResources::windowsIconHoldsSevenSizes()
{
    const QByteArray ico = sourceFile("app/brivelle.ico");
    QVERIFY(ico.size() > 6);
    QCOMPARE(littleEndian(ico, 0, 2), 0u);
    QCOMPARE(littleEndian(ico, 2, 2), 1u);
    QCOMPARE(littleEndian(ico, 4, 2), 7u);
    const int sides[] = {16, 24, 32, 48, 64, 128, 256};
    for (int i = 0; i < 7; ++i) {
        const int entry = 6 + 16 * i;
        QVERIFY(ico.size() >= entry + 16);
        QCOMPARE(int(quint8(ico.at(entry))), sides[i] % 256);
        QCOMPARE(littleEndian(ico, entry + 6, 2), 32u);
        const quint32 size = littleEndian(ico, entry + 8, 4);
        const quint32 offset = littleEndian(ico, entry + 12, 4);
        QVERIFY(offset + size <= quint32(ico.size()));
        const QImage image = QImage::fromData(ico.mid(int(offset), int(size)), "PNG");
        QCOMPARE(image.size(), QSize(sides[i], sides[i]));
    }
    QVERIFY(sourceFile("app/brivelle.rc").contains("IDI_ICON1 ICON \"brivelle.ico\""));
    QVERIFY(sourceFile("app/brivelle.manifest").contains("level=\"asInvoker\""));
}

// A file manager offers the program under "Open with" for every picture its list takes, and hands
// it the files.
void TestResources::desktopEntryOffersEverySupportedImage()
{
    const QByteArray entry = sourceFile("packaging/brivelle-ai.desktop");
    QVERIFY(entry.startsWith("[Desktop Entry]\n"));
    QVERIFY(entry.contains("\nName=Brivelle AI\n"));
    QVERIFY(entry.contains("\nExec=brivelle %F\n"));
    QVERIFY(entry.contains("\nIcon=brivelle-ai\n"));
    QStringList offered;
    for (const QByteArray &line : entry.split('\n')) {
        if (line.startsWith("MimeType="))
            offered = QString::fromLatin1(line.mid(9)).split(QLatin1Char(';'), Qt::SkipEmptyParts);
    }
    QVERIFY(!offered.isEmpty());

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QMimeDatabase mimes;
    int supported = 0;
    for (const QMimeType &type : mimes.allMimeTypes()) {
        if (!type.name().startsWith(QLatin1String("image/")))
            continue;
        for (const QString &suffix : type.suffixes()) {
            const QString path = dir.filePath(QStringLiteral("picture.") + suffix);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.close();
            if (!isSupportedImage(path))
                continue;
            ++supported;
            const QString name = mimes.mimeTypeForFile(path, QMimeDatabase::MatchExtension).name();
            QVERIFY2(offered.contains(name), qPrintable(suffix + QStringLiteral(" is ") + name));
        }
    }
    QVERIFY2(supported >= 8, qPrintable(QString::number(supported)));
}

QTEST_GUILESS_MAIN(TestResources)
#include "tst_resources.moc"
