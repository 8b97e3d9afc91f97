#include "workspace/engine/networkInference.h"
#include "workspace/engine/testModels.h"
#include "workspace/engine/tiledPass.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <ncnn/net.h>

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

// One inference of the whole picture, its sides rounded up to the network's multiple by repeating
// the last column and row, and what that adds cut away again.
QImage wholePicture(const QString &param, const QImage &source, int scale, int multiple)
{
    ncnn::Net net;
    if (net.load_param(param.toUtf8().constData()) != 0 ||
        net.load_model(QString(param.chopped(6) + QStringLiteral(".bin")).toUtf8().constData()) != 0)
        return {};
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    const QSize padded((rgb.width() + multiple - 1) / multiple * multiple,
                       (rgb.height() + multiple - 1) / multiple * multiple);
    return engine::inferImage(net, engine::padByRepeating(rgb, padded))
        .image.copy(QRect(QPoint(0, 0), source.size() * scale));
}

int maxDifference(const QImage &a, const QImage &b)
{
    int worst = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width() * 3; ++x)
            worst = std::max(worst, std::abs(a.constScanLine(y)[x] - b.constScanLine(y)[x]));
    return worst;
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
        // The x2 slot holding an x4 network, as a file saved under the wrong name would.
        QVERIFY(QDir().mkpath(models.filePath(QStringLiteral("swapped"))));
        QVERIFY(writeTestModel(models.filePath(QStringLiteral("swapped")),
                               QStringLiteral("realesrgan-x2plus"), 4));
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
        QTest::newRow("--model and -s disagree")
            << QStringList{QStringLiteral("--model"),
                           models.filePath(QStringLiteral("realesrgan-x4plus.param")), QStringLiteral("-s"),
                           QStringLiteral("2"), QStringLiteral("x.png")}
            << QStringLiteral("realesrgan-x4plus.param enlarges by 4, not 2");
        QTest::newRow("x2 slot holds an x4 network")
            << QStringList{QStringLiteral("-m"), models.filePath(QStringLiteral("swapped")),
                           QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("x.png")}
            << QStringLiteral("realesrgan-x2plus.param enlarges by 4, not 2");
        QTest::newRow("--model and -m")
            << QStringList{QStringLiteral("--model"), QStringLiteral("a.param"), QStringLiteral("-m"),
                           models.path(), QStringLiteral("x.png")}
            << QStringLiteral("give one of them");
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

    // Any network of the family through --model, on odd sizes that several tiles cover: the result
    // is scale x the picture and what one inference of the whole picture gives.
    void anyNetworkOfTheFamily_data()
    {
        QTest::addColumn<QString>("form");
        QTest::addColumn<int>("scale");
        QTest::addColumn<int>("multiple");
        QTest::addColumn<QSize>("size");
        QTest::newRow("RRDBNet x4") << QStringLiteral("rrdb") << 4 << 1 << QSize(141, 37);
        QTest::newRow("RRDBNet x2, pixel unshuffle") << QStringLiteral("rrdb") << 2 << 2 << QSize(141, 77);
        QTest::newRow("RRDBNet x1, pixel unshuffle by 4")
            << QStringLiteral("rrdb") << 1 << 4 << QSize(149, 79);
        QTest::newRow("SRVGG x2") << QStringLiteral("srvgg") << 2 << 1 << QSize(143, 41);
        QTest::newRow("SRVGG x3") << QStringLiteral("srvgg") << 3 << 1 << QSize(141, 35);
        QTest::newRow("SRVGG x4") << QStringLiteral("srvgg") << 4 << 1 << QSize(139, 33);
        QTest::newRow("ESRGAN x4, nearest interpolation")
            << QStringLiteral("esrgan") << 4 << 1 << QSize(141, 39);
    }
    void anyNetworkOfTheFamily()
    {
        QFETCH(QString, form);
        QFETCH(int, scale);
        QFETCH(int, multiple);
        QFETCH(QSize, size);
        const QString nets = newFolder(QStringLiteral("nets"));
        const QString param = nets + QStringLiteral("/any.param");
        QVERIFY(writeFamilyModel(nets + QStringLiteral("/any"), form, scale));
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        const QImage source = picture(size);
        QVERIFY(source.save(in + QStringLiteral("/p.png")));

        const Run result = run({QStringLiteral("--model"), param, QStringLiteral("-t"), QStringLiteral("32"),
                                QStringLiteral("-o"), out, in + QStringLiteral("/p.png")});
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        const QImage tiled = QImage(out + QStringLiteral("/p.png")).convertToFormat(QImage::Format_RGB888);
        QCOMPARE(tiled.size(), size * scale);
        const QImage whole = wholePicture(param, source, scale, multiple);
        QCOMPARE(whole.size(), tiled.size());
        // A fast CPU path may sum a tile's convolutions in another order than the whole picture's.
        QVERIFY2(maxDifference(tiled, whole) <= 1, qPrintable(QString::number(maxDifference(tiled, whole))));
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
