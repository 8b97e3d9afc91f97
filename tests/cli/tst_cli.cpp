#include "workspace/engine/testModels.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

QImage picture(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb(x * 7 % 256, y * 3 % 256, (x ^ y) % 256));
    return image;
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden, QDir::Name);
}

} // namespace

class CliTest : public QObject {
    Q_OBJECT

    QTemporaryDir home; // settings and data folders of the child, never the user's
    QTemporaryDir models;
    QTemporaryDir work;
    int folders = 0;

    void start(QProcess &process, const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(BRIVELLE_CLI), args);
    }

    Run run(const QStringList &args)
    {
        QProcess process;
        start(process, args);
        Run result;
        if (!process.waitForFinished(60000))
            return result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = QString::fromLocal8Bit(process.readAllStandardOutput());
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        return result;
    }

    QString newFolder(const QString &name)
    {
        const QString path = work.filePath(QStringLiteral("%1-%2").arg(name).arg(++folders));
        return QDir().mkpath(path) ? path : QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(writeTestModelPairs(models.path()));
        // The models are found where the application looks: the install folder named in its settings.
        QVERIFY(QDir().mkpath(home.filePath(QStringLiteral("config/Corvane"))));
        QVERIFY(writeBytes(home.filePath(QStringLiteral("config/Corvane/Brivelle AI.conf")),
                           "[General]\nPath=" + models.path().toUtf8() + '\n'));
    }

    // Names as the application gives them; an existing result is never replaced; subfolders are
    // walked and files of other kinds left alone.
    void folderInFilesOut()
    {
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(in + QStringLiteral("/sub")));
        QVERIFY(picture(QSize(40, 30)).save(in + QStringLiteral("/a.png")));
        QVERIFY(picture(QSize(21, 13)).save(in + QStringLiteral("/sub/b.final.jpg")));
        QVERIFY(writeBytes(in + QStringLiteral("/notes.txt"), "not a picture"));
        QVERIFY(writeBytes(out + QStringLiteral("/a.png"), "taken"));

        const Run result = run(
            {QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-o"), out, QStringLiteral("-j"), in});
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        QCOMPARE(entries(out),
                 (QStringList{QStringLiteral("a(2).png"), QStringLiteral("a.png"), QStringLiteral("b.png")}));
        QCOMPARE(readBytes(out + QStringLiteral("/a.png")), QByteArray("taken"));
        QCOMPARE(QImage(out + QStringLiteral("/a(2).png")).size(), QSize(80, 60));
        QCOMPARE(QImage(out + QStringLiteral("/b.png")).size(), QSize(42, 26));

        const QStringList lines = result.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        for (const QString &line : lines) {
            const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
            QCOMPARE(object.value(QStringLiteral("status")).toString(), QStringLiteral("written"));
            QVERIFY(QFileInfo::exists(object.value(QStringLiteral("output")).toString()));
            QVERIFY(object.value(QStringLiteral("seconds")).toDouble() >= 0);
            QCOMPARE(object.value(QStringLiteral("size")).toArray().size(), 2);
        }
    }

    // One bad input does not stop the others; every failure is named and the status says so.
    void unreadableInputsAreReported()
    {
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        QVERIFY(writeBytes(in + QStringLiteral("/broken.png"), "\x89PNG not really"));
        QVERIFY(picture(QSize(16, 16)).save(in + QStringLiteral("/good.png")));
        const QString missing = in + QStringLiteral("/gone.png");
        const Run result = run({QStringLiteral("-o"), out, in + QStringLiteral("/broken.png"),
                                in + QStringLiteral("/good.png"), missing});
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral("broken.png")), qPrintable(result.err));
        QVERIFY(result.err.contains(missing));
        QCOMPARE(entries(out), QStringList{QStringLiteral("good.png")});
        QCOMPARE(QImage(out + QStringLiteral("/good.png")).size(), QSize(64, 64));
    }

    // -f picks the format and its suffix; names are taken as for PNG, never replacing. A 16-bit input
    // keeps its levels through the network; the first frame of an animation is enlarged, and said so.
    void resultFormats_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("input"); // written by the test, 2x enlarged
        QTest::addColumn<QString>("output");
        QTest::addColumn<QByteArray>("format");
        QTest::addColumn<int>("levels"); // fewest distinct values in a colour channel of the result
        QTest::addColumn<QString>("said");
        QTest::newRow("png") << QStringList{} << "a.png"
                             << "a.png" << QByteArray("png") << 2 << QString();
        QTest::newRow("jpg beside a taken name")
            << QStringList{QStringLiteral("--format"), QStringLiteral("jpg"), QStringLiteral("--quality"),
                           QStringLiteral("80")}
            << "taken.png"
            << "taken(2).jpg" << QByteArray("jpeg") << 2 << QString();
        QTest::newRow("webp") << QStringList{QStringLiteral("-f"), QStringLiteral("WEBP")} << "a.png"
                              << "a.webp" << QByteArray("webp") << 2 << QString();
        QTest::newRow("16-bit gradient") << QStringList{} << "gradient.png"
                                         << "gradient.png" << QByteArray("png") << 257 << QString();
        QTest::newRow("two frames") << QStringList{} << "anim.gif"
                                    << "anim.png" << QByteArray("png") << 2
                                    << "only the first of its 2 frames was enlarged";
    }
    void resultFormats()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, input);
        QFETCH(QString, output);
        QFETCH(QString, said);
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        const QString path = in + QLatin1Char('/') + input;
        if (input.endsWith(QStringLiteral(".gif"))) {
            QVERIFY(writeBytes(
                path,
                QByteArray::fromHex("47494638396106000400f00000c832141450c821f904000000000021ff0b4e45545343"
                                    "415045322e3003010000002c0000000006000400000204848fa9570021f9040000000000"
                                    "2c00000000060004000002048c8fa957003b")));
        } else if (input.startsWith(QStringLiteral("gradient"))) {
            // 300 levels in every channel, more than 8 bits hold.
            QImage gradient(300, 4, QImage::Format_RGBX64);
            for (int y = 0; y < gradient.height(); ++y)
                for (int x = 0; x < gradient.width(); ++x)
                    gradient.setPixelColor(x, y,
                                           QColor::fromRgba64(quint16(8000 + x * 160),
                                                              quint16(60000 - x * 170),
                                                              quint16(20000 + x * 100)));
            QVERIFY(gradient.save(path));
        } else {
            QVERIFY(picture(QSize(20, 12)).save(path));
        }
        if (input.startsWith(QStringLiteral("taken")))
            QVERIFY(writeBytes(out + QStringLiteral("/taken.jpg"), "taken"));

        const Run result =
            run(QStringList{QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-o"), out} + args +
                QStringList{path});
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        if (!said.isEmpty())
            QVERIFY2(result.err.contains(QStringLiteral("note %1: %2").arg(path, said)),
                     qPrintable(result.err));
        QImageReader reader(out + QLatin1Char('/') + output);
        QTEST(reader.format(), "format");
        const QImage image = reader.read();
        QCOMPARE(image.size(), QImage(path).size() * 2);
        const QImage rgba = image.convertToFormat(QImage::Format_RGBA64);
        int fewest = 65536;
        for (int c = 0; c < 3; ++c) {
            QSet<quint16> levels;
            for (int y = 0; y < rgba.height(); ++y)
                for (int x = 0; x < rgba.width(); ++x)
                    levels.insert(reinterpret_cast<const quint16 *>(rgba.constScanLine(y))[4 * x + c]);
            fewest = std::min(fewest, int(levels.size()));
        }
        QFETCH(int, levels);
        QVERIFY2(fewest >= levels, qPrintable(QString::number(fewest)));
    }

    void badUsageExitsWithTwo_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("message");
        QTest::newRow("nothing to do") << QStringList{} << QStringLiteral("no file or folder");
        QTest::newRow("scale 3") << QStringList{QStringLiteral("-s"), QStringLiteral("3"),
                                                QStringLiteral("x.png")}
                                 << QStringLiteral("scale must be 2 or 4");
        QTest::newRow("unknown device")
            << QStringList{QStringLiteral("-d"), QStringLiteral("tpu"), QStringLiteral("x.png")}
            << QStringLiteral("cpu, gpu or gpu:N");
        QTest::newRow("tile not a multiple of 16")
            << QStringList{QStringLiteral("-t"), QStringLiteral("40"), QStringLiteral("x.png")}
            << QStringLiteral("multiple of 16");
        QTest::newRow("unknown option")
            << QStringList{QStringLiteral("--fast"), QStringLiteral("x.png")} << QStringLiteral("fast");
        QTest::newRow("unknown format")
            << QStringList{QStringLiteral("-f"), QStringLiteral("gif"), QStringLiteral("x.png")}
            << QStringLiteral("png, jpg or webp");
        QTest::newRow("quality out of range")
            << QStringList{QStringLiteral("-f"), QStringLiteral("jpg"), QStringLiteral("--quality"),
                           QStringLiteral("0"), QStringLiteral("x.png")}
            << QStringLiteral("from 1 to 100");
        QTest::newRow("quality for png")
            << QStringList{QStringLiteral("--quality"), QStringLiteral("90"), QStringLiteral("x.png")}
            << QStringLiteral("png is lossless");
        QTest::newRow("models missing")
            << QStringList{QStringLiteral("-m"), QStringLiteral("/nonexistent/models"),
                           QStringLiteral("x.png")}
            << QStringLiteral("does not load");
    }
    void badUsageExitsWithTwo()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const QString out = newFolder(QStringLiteral("out"));
        const Run result = run(QStringList{QStringLiteral("-o"), out} + args);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QVERIFY(entries(out).isEmpty());
    }

    void informationOptions_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("text");
        QTest::newRow("help") << QStringLiteral("--help") << QStringLiteral("--device <cpu|gpu|gpu:N>");
        QTest::newRow("version") << QStringLiteral("--version") << QStringLiteral("brivelle-cli 1.");
        QTest::newRow("devices") << QStringLiteral("--list-devices") << QStringLiteral("cpu\t");
    }
    void informationOptions()
    {
        QFETCH(QString, option);
        QFETCH(QString, text);
        const Run result = run({option});
        QCOMPARE(result.exitCode, 0);
        QVERIFY2(result.out.contains(text), qPrintable(result.out));
    }

    // Stopped in the middle of a picture, the process leaves nothing of it behind and says why it
    // ended. A deeper network and small tiles keep the picture busy for a good while.
    void sigtermMidPictureLeavesNoFile()
    {
        const QString slowModels = newFolder(QStringLiteral("slow"));
        QVERIFY(writeTestModel(slowModels, QStringLiteral("realesrgan-x2plus"), 2, 8, 32));
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        QVERIFY(picture(QSize(512, 256)).save(in + QStringLiteral("/large.png")));
        QProcess process;
        start(process, {QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-t"), QStringLiteral("32"),
                        QStringLiteral("-m"), slowModels, QStringLiteral("-o"), out,
                        in + QStringLiteral("/large.png")});
        QString err;
        QVERIFY(QTest::qWaitFor(
            [&] {
                err += QString::fromLocal8Bit(process.readAllStandardError());
                return err.contains(QStringLiteral("tile ")) || process.state() == QProcess::NotRunning;
            },
            60000));
        QVERIFY2(process.state() == QProcess::Running, "the picture ended before the test could stop it");
        process.terminate();
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        QVERIFY(entries(out).isEmpty());
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
