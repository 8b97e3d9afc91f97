#include "base/nativeName.h"
#include "support/imagediff.h"
#include "support/pictureMetadata.h"
#include "support/sampleGif.h"
#include "support/testvendorserver.h"
#include "support/unwritablefolder.h"
#include "workspace/engine/imageInput.h"
#include "workspace/engine/networkInference.h"
#include "workspace/engine/pngOutput.h"
#include "workspace/engine/resultMark.h"
#include "workspace/engine/testModels.h"
#include "workspace/engine/tiledPass.h"
#include "workspace/models/modelFiles.h"

#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <ncnn/cpu.h>
#include <ncnn/net.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Run {
    int exitCode = -1;
    QByteArray bytes; // standard output as it came
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

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QList<QJsonObject> records(const QString &out)
{
    QList<QJsonObject> list;
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        list << QJsonDocument::fromJson(line.toUtf8()).object();
    return list;
}

// What brivelle-cli must make of one file of the real-world corpus (scripts/make-corpus.sh).
struct CorpusResult {
    QString output;     // the result's name; empty when the file is refused
    QSize size;         // of the result
    int bits = 8;       // of a PNG result: bits a channel and colour type (0 grey, 2 RGB, 4 grey + alpha,
    int colourType = 2; // 6 RGBA)
    QString profile;    // the profile in profiles/ that the result carries byte for byte; empty: none
    bool inputsSpace = false; // no profile, but the input's colour space (its gAMA and cHRM)
    QStringList metadata;     // key=value entries: EXIF, XMP, IPTC, "Text.KEY" and "DotsPerMeter"
    QString said;             // the note of a written file; the reason of a refused one
    QString sameAs;           // another input whose result this one must show (orientation applied)
    QStringList args;

    static CorpusResult written(const QString &name, QSize size)
    {
        CorpusResult result;
        result.output = name;
        result.size = size;
        return result;
    }
    static CorpusResult refused(const QString &reason)
    {
        CorpusResult result;
        result.said = reason;
        return result;
    }
    CorpusResult &&layout(int bitsPerChannel, int pngColourType) &&
    {
        bits = bitsPerChannel;
        colourType = pngColourType;
        return std::move(*this);
    }
    CorpusResult &&withProfile(const QString &name) &&
    {
        profile = name;
        return std::move(*this);
    }
    CorpusResult &&inInputsSpace() &&
    {
        inputsSpace = true;
        return std::move(*this);
    }
    CorpusResult &&holding(const QStringList &entries) &&
    {
        metadata = entries;
        return std::move(*this);
    }
    CorpusResult &&saying(const QString &note) &&
    {
        said = note;
        return std::move(*this);
    }
    CorpusResult &&showing(const QString &input) &&
    {
        sameAs = input;
        return std::move(*this);
    }
    CorpusResult &&with(const QStringList &options) &&
    {
        args = options;
        return std::move(*this);
    }
};

} // namespace

Q_DECLARE_METATYPE(CorpusResult)

class CliTest : public QObject {
    Q_OBJECT

    QTemporaryDir home; // settings and data folders of the child, never the user's
    QTemporaryDir models;
    QTemporaryDir work;
    QTemporaryDir served; // the vendor's model files, at their published sizes
    int folders = 0;
    int heldLock = -1; // a manifest that "another run" holds

    void start(QProcess &process, const QStringList &args,
               const QString &program = QStringLiteral(BRIVELLE_CLI), const QStringList &environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &setting : environment)
            env.insert(setting.section(QLatin1Char('='), 0, 0), setting.section(QLatin1Char('='), 1));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
        env.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
        process.setProcessEnvironment(env);
        process.start(program, args);
    }

    Run run(const QStringList &args, const QByteArray &input = {}, const QString &folder = {},
            const QString &program = QStringLiteral(BRIVELLE_CLI), const QStringList &environment = {})
    {
        QProcess process;
        process.setWorkingDirectory(folder);
        start(process, args, program, environment);
        process.write(input);
        process.closeWriteChannel();
        Run result;
        // The event loop runs meanwhile: the test's vendor server answers from it.
        if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, 60000))
            return result;
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.bytes = process.readAllStandardOutput();
        result.out = QString::fromLocal8Bit(result.bytes);
        result.err = QString::fromLocal8Bit(process.readAllStandardError());
        // A sanitizer's report in the program would otherwise be cut off in a failure message.
        if (const qsizetype report = result.err.indexOf(QStringLiteral("Sanitizer")); report >= 0)
            qWarning().noquote() << result.err.mid(qMax<qsizetype>(0, report - 200));
        return result;
    }

    QString newFolder(const QString &name)
    {
        const QString path = work.filePath(QStringLiteral("%1-%2").arg(name).arg(++folders));
        return QDir().mkpath(path) ? path : QString();
    }

    // The real-world corpus, assembled once; corpusProblem says why it could not be.
    QTemporaryDir corpus;
    QString corpusProblem;
    bool corpusTried = false;
    QHash<QString, QString> corpusResults; // input -> result, for rows that show another's result

    bool makeCorpus()
    {
        if (corpusTried)
            return corpusProblem.isEmpty();
        corpusTried = true;
        // Qt's own Display P3, as an editor embeds it; no package ships one.
        QDir().mkpath(corpus.filePath(QStringLiteral("profiles")));
        writeBytes(corpus.filePath(QStringLiteral("profiles/display-p3.icc")),
                   QColorSpace(QColorSpace::DisplayP3).iccProfile());
        QProcess script;
        script.start(QStringLiteral("bash"),
                     {QStringLiteral(BRIVELLE_SOURCE_DIR "/scripts/make-corpus.sh"), corpus.path()});
        if (!script.waitForFinished(120000) || script.exitStatus() != QProcess::NormalExit)
            corpusProblem = QStringLiteral("make-corpus.sh did not finish");
        else if (script.exitCode() != 0)
            corpusProblem = QString::fromLocal8Bit(script.readAllStandardError()).trimmed();
        return corpusProblem.isEmpty();
    }

private slots:
    void cleanupTestCase()
    {
        if (heldLock >= 0)
            ::close(heldLock);
    }

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
        const QList<ModelFile> table = modelFileTable();
        for (const ModelFile &model : table)
            QVERIFY(writeBytes(served.filePath(model.fileName),
                               QByteArray(model.size, char('a' + model.size % 26))));
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

        const Run result = run({QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-v"),
                                QStringLiteral("-o"), out, QStringLiteral("-j"), in});
        QVERIFY2(result.exitCode == 0, qPrintable(result.err.right(1500)));
        QCOMPARE(entries(out), (QStringList{QStringLiteral("a(2).png"), QStringLiteral("a.png"),
                                            QStringLiteral("b.final.png")}));
        // Every tile in a log, but no line twice in a row while the writer reports each percent.
        const QStringList said = result.err.split(QLatin1Char('\n'));
        QVERIFY2(result.err.contains(QStringLiteral(": writing")), qPrintable(result.err));
        for (qsizetype i = 1; i < said.size(); ++i)
            QVERIFY2(said.at(i).isEmpty() || said.at(i) != said.at(i - 1), qPrintable(said.at(i)));
        QCOMPARE(readBytes(out + QStringLiteral("/a.png")), QByteArray("taken"));
        QCOMPARE(QImage(out + QStringLiteral("/a(2).png")).size(), QSize(80, 60));
        QCOMPARE(QImage(out + QStringLiteral("/b.final.png")).size(), QSize(42, 26));

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

    // A name that is not UTF-8, named, listed or found in a folder, is enlarged into a result named
    // from its bytes, and its record keeps them as "\udcXX".
    void namesThatAreNotUtf8_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("named") << QStringLiteral("named");
        QTest::newRow("listed with -0") << QStringLiteral("listed");
        QTest::newRow("walked") << QStringLiteral("walked");
    }
    void namesThatAreNotUtf8()
    {
        QFETCH(QString, how);
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        const QByteArray name = "caf\xe9.png";
        QVERIFY(picture(QSize(10, 6)).save(in + QStringLiteral("/plain.png")));
        QCOMPARE(::rename(QFile::encodeName(in + QStringLiteral("/plain.png")).constData(),
                          QByteArray(QFile::encodeName(in) + '/' + name).constData()),
                 0);
        const QStringList common{QStringLiteral("-j"), QStringLiteral("-s"), QStringLiteral("2"),
                                 QStringLiteral("-o"), out};
        Run result;
        if (how == QLatin1String("named")) {
            // QProcess would pass the name as UTF-8; the shell passes its bytes.
            result = run({QStringLiteral("-c"),
                          QStringLiteral("exec \"$0\" -j -s 2 -o \"$1\" \"$2/caf$(printf '\\351').png\""),
                          QStringLiteral(BRIVELLE_CLI), out, in},
                         {}, {}, QStringLiteral("/bin/sh"));
        } else if (how == QLatin1String("listed")) {
            result = run(common + QStringList{QStringLiteral("--files-from"), QStringLiteral("-"),
                                              QStringLiteral("-0")},
                         QFile::encodeName(in) + '/' + name + '\0');
        } else {
            result = run(common + QStringList{in});
        }
        // Qt lists no such name, nor removes it with its folder.
        const QByteArray input = QFile::encodeName(in) + '/' + name;
        const QByteArray written = QFile::encodeName(out) + '/' + name;
        const auto removeBoth = qScopeGuard([&] {
            ::unlink(input.constData());
            ::unlink(written.constData());
        });
        QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        QCOMPARE(NativeName::entries(out), QStringList{NativeName::decode(name)});
        QCOMPARE(QImage(NativeName::reachable(NativeName::decode(written))).size(), QSize(20, 12));
        QVERIFY2(result.out.contains(QStringLiteral("\"input\":\"%1/caf\\udce9.png\"").arg(in)),
                 qPrintable(result.out));
        QVERIFY2(result.out.contains(QStringLiteral("\"output\":\"%1/caf\\udce9.png\"").arg(out)),
                 qPrintable(result.out));
        QVERIFY2(result.err.contains(QStringLiteral("caf\\xe9.png")), qPrintable(result.err));
        // A resumed run finds that result under its own name.
        const Run again = run(common + QStringList{QStringLiteral("--skip-existing"), in});
        QVERIFY2(again.out.contains(QStringLiteral("\"status\":\"skipped\"")), qPrintable(again.out));
        QCOMPARE(NativeName::entries(out).size(), 1);
    }

    // One bad input does not stop the others; every failure is named and the status says so.
    void unreadableInputsAreReported()
    {
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        QVERIFY(writeBytes(in + QStringLiteral("/broken.png"), "\x89PNG not really"));
        // A text chunk with a wrong checksum: libpng warns and decodes the rest.
        QByteArray good = pngBytes(picture(QSize(16, 16)));
        good.insert(33, QByteArray("\0\0\0\x03tEXta\0b\0\0\0\0", 15));
        QVERIFY(writeBytes(in + QStringLiteral("/good.png"), good));
        const QString missing = in + QStringLiteral("/gone.png");
        const Run result = run({QStringLiteral("-o"), out, in + QStringLiteral("/broken.png"),
                                in + QStringLiteral("/good.png"), missing});
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral("broken.png")), qPrintable(result.err));
        QVERIFY(result.err.contains(missing));
        QCOMPARE(entries(out), QStringList{QStringLiteral("good.png")});
        QCOMPARE(QImage(out + QStringLiteral("/good.png")).size(), QSize(64, 64));
        // The library's warning goes with its picture, not across the progress line.
        const qsizetype written =
            result.err.indexOf(QStringLiteral("written ") + in + QStringLiteral("/good.png"));
        QVERIFY2(written >= 0 &&
                     result.err.indexOf(QStringLiteral("\n  note: libpng warning: tEXt"), written) > 0,
                 qPrintable(result.err));
    }

    // -f picks the format and its suffix; names are taken as for PNG, never replacing. A 16-bit input
    // keeps its levels through the network; the first frame of an animation is enlarged, and said so.
    // A result in its format, through Qt's plugin, or for JPEG XL and AVIF through the libraries'
    // own decoders where Qt has none; null when neither reads it.
    static QImage readResult(const QString &path, const QByteArray &format)
    {
        QImageReader reader(path);
        if (reader.format() == format)
            return reader.read();
        if (format != "jxl" && format != "avif")
            return QImage();
        const QString tool = QStandardPaths::findExecutable(format == "jxl" ? QStringLiteral("djxl")
                                                                            : QStringLiteral("avifdec"));
        if (tool.isEmpty())
            return QImage();
        const QString png = path + QStringLiteral(".decoded.png");
        // djxl keeps the stored bits; avifdec is asked for 16.
        QStringList args{path, png};
        if (format == "avif")
            args = QStringList{QStringLiteral("-d"), QStringLiteral("16")} + args;
        QProcess decoder;
        decoder.start(tool, args);
        if (!decoder.waitForFinished(60000) || decoder.exitCode() != 0)
            return QImage();
        const QImage decoded(png);
        QFile::remove(png);
        return decoded;
    }

    // The resolution a source states reaches its result in every format's own field, the same
    // number of dots per inch; --dpi replaces it; a source without one gives a result without one.
    void resolutions_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<double>("sourceDpi"); // 0: none
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("output");
        QTest::addColumn<double>("resultDpi"); // 0: none
        QTest::newRow("png to png") << "a.png" << 300.0 << QStringList{} << "a.png" << 300.0;
        QTest::newRow("jpg to jpg") << "a.jpg" << 72.0
                                    << QStringList{QStringLiteral("-f"), QStringLiteral("jpg")} << "a.jpg"
                                    << 72.0;
        QTest::newRow("tif to tif") << "a.tif" << 150.0
                                    << QStringList{QStringLiteral("-f"), QStringLiteral("tif")} << "a.tif"
                                    << 150.0;
        QTest::newRow("png to tif") << "a.png" << 240.0
                                    << QStringList{QStringLiteral("-f"), QStringLiteral("tif")} << "a.tif"
                                    << 240.0;
        QTest::newRow("none to png") << "a.png" << 0.0 << QStringList{} << "a.png" << 0.0;
        QTest::newRow("none to jpg") << "a.png" << 0.0
                                     << QStringList{QStringLiteral("-f"), QStringLiteral("jpg")} << "a.jpg"
                                     << 0.0;
        QTest::newRow("none to tif") << "a.jpg" << 0.0
                                     << QStringList{QStringLiteral("-f"), QStringLiteral("tif")} << "a.tif"
                                     << 0.0;
        QTest::newRow("--dpi over the source's")
            << "a.png" << 300.0 << QStringList{QStringLiteral("--dpi"), QStringLiteral("600")} << "a.png"
            << 600.0;
        QTest::newRow("--dpi for jpg") << "a.png" << 0.0
                                       << QStringList{QStringLiteral("-f"), QStringLiteral("jpg"),
                                                      QStringLiteral("--dpi"), QStringLiteral("350")}
                                       << "a.jpg" << 350.0;
    }
    void resolutions()
    {
        QFETCH(QString, input);
        QFETCH(double, sourceDpi);
        QFETCH(QStringList, args);
        QFETCH(QString, output);
        QFETCH(double, resultDpi);
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        const QString path = in + QLatin1Char('/') + input;
        QImage source = picture(QSize(20, 12));
        if (sourceDpi > 0) {
            source.setDotsPerMeterX(qRound(sourceDpi / 0.0254));
            source.setDotsPerMeterY(qRound(sourceDpi / 0.0254));
            QVERIFY(source.save(path));
        } else if (input.endsWith(QStringLiteral(".png"))) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(!engine::encodePng(source, false, &file)); // no pHYs without a resolution
        } else {
            // Qt's JPEG writer always states a density: the unit is made 0, an aspect ratio only.
            QByteArray jpeg;
            QBuffer buffer(&jpeg);
            buffer.open(QIODevice::WriteOnly);
            QVERIFY(source.save(&buffer, "jpeg"));
            QCOMPARE(jpeg.mid(6, 4), QByteArray("JFIF"));
            jpeg[13] = 0;
            QVERIFY(writeBytes(path, jpeg));
        }
        const std::optional<QSizeF> stated = engine::sourceResolution(path);
        QCOMPARE(stated.has_value(), sourceDpi > 0);

        const Run result =
            run(QStringList{QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-o"), out} + args +
                QStringList{path});
        QVERIFY2(result.exitCode == 0, qPrintable(result.err.right(1500)));
        const std::optional<QSizeF> dpi = engine::sourceResolution(out + QLatin1Char('/') + output);
        QCOMPARE(dpi.has_value(), resultDpi > 0);
        if (dpi) {
            QVERIFY2(qAbs(dpi->width() - resultDpi) < 0.05 && qAbs(dpi->height() - resultDpi) < 0.05,
                     qPrintable(QString::number(dpi->width())));
        }
    }

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
        QTest::newRow("tif at 16 bits")
            << QStringList{QStringLiteral("-f"), QStringLiteral("tiff")} << "gradient.png"
            << "gradient.tif" << QByteArray("tiff") << 257 << QString();
        QTest::newRow("jxl lossless at 16 bits")
            << QStringList{QStringLiteral("-f"), QStringLiteral("jxl")} << "gradient.png"
            << "gradient.jxl" << QByteArray("jxl") << 257 << QString();
        QTest::newRow("jxl lossy") << QStringList{QStringLiteral("-f"), QStringLiteral("jxl"),
                                                  QStringLiteral("--quality"), QStringLiteral("70")}
                                   << "a.png"
                                   << "a.jxl" << QByteArray("jxl") << 2 << QString();
        // 10 bits: more levels than 8 bits hold, fewer than the source's 300.
        QTest::newRow("avif at 10 bits") << QStringList{QStringLiteral("-f"), QStringLiteral("avif"),
                                                        QStringLiteral("--quality"), QStringLiteral("100")}
                                         << "gradient.png"
                                         << "gradient.avif" << QByteArray("avif") << 257 << QString();
        QTest::newRow("tif grey with alpha")
            << QStringList{QStringLiteral("-f"), QStringLiteral("tif")} << "greyalpha.png"
            << "greyalpha.tif" << QByteArray("tiff") << 2 << QString();
        QTest::newRow("jxl grey with alpha")
            << QStringList{QStringLiteral("-f"), QStringLiteral("jxl")} << "greyalpha.png"
            << "greyalpha.jxl" << QByteArray("jxl") << 2 << QString();
        QTest::newRow("avif grey with alpha")
            << QStringList{QStringLiteral("-f"), QStringLiteral("avif")} << "greyalpha.png"
            << "greyalpha.avif" << QByteArray("avif") << 2 << QString();
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
            QVERIFY(writeBytes(path, twoFrameGif()));
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
        } else if (input.startsWith(QStringLiteral("greyalpha"))) {
            QImage grey = picture(QSize(20, 12))
                              .convertToFormat(QImage::Format_Grayscale8)
                              .convertToFormat(QImage::Format_RGBA8888);
            for (int y = 0; y < grey.height(); ++y)
                for (int x = 0; x < grey.width(); ++x)
                    grey.scanLine(y)[4 * x + 3] = uchar(255 - 10 * x);
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(!engine::encodePng(grey, true, &file));
        } else {
            QVERIFY(picture(QSize(20, 12)).save(path));
        }
        if (input.startsWith(QStringLiteral("taken")))
            QVERIFY(writeBytes(out + QStringLiteral("/taken.jpg"), "taken"));

        const Run result =
            run(QStringList{QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-o"), out} + args +
                QStringList{path});
        QVERIFY2(result.exitCode == 0, qPrintable(result.err.right(1500)));
        if (!said.isEmpty())
            QVERIFY2(result.err.contains(QStringLiteral("note %1: %2").arg(path, said)),
                     qPrintable(result.err));
        QFETCH(QByteArray, format);
        const QImage image = readResult(out + QLatin1Char('/') + output, format);
        if (image.isNull() && (format == "jxl" || format == "avif"))
            QSKIP("no decoder for the result here (djxl, avifdec or a Qt plugin)");
        QCOMPARE(image.size(), QImage(path).size() * 2);
        QVERIFY(engine::isMarkedResult(out + QLatin1Char('/') + output));
        if (input.startsWith(QStringLiteral("greyalpha"))) {
            QVERIFY(image.hasAlphaChannel());
            const QColor pixel = image.pixelColor(image.width() - 1, image.height() / 2);
            QVERIFY2(pixel.alpha() < 128 && pixel.red() == pixel.green() && pixel.green() == pixel.blue(),
                     qPrintable(pixel.name(QColor::HexArgb)));
        }
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

    // The size and the strength asked for reach the result and its record; at their defaults, and
    // with a network mixed with itself, the result is today's.
    void resultSizeStrengthAndMix()
    {
        const QString in = newFolder(QStringLiteral("in"));
        QVERIFY(picture(QSize(41, 27)).save(in + QStringLiteral("/p.png")));
        const QString input = in + QStringLiteral("/p.png");
        auto result = [&](const QStringList &args, QJsonObject *record = nullptr) {
            const QString out = newFolder(QStringLiteral("out"));
            const Run done = run(QStringList{QStringLiteral("-t"), QStringLiteral("32"), QStringLiteral("-j"),
                                             QStringLiteral("-o"), out} +
                                 args + QStringList{input});
            if (done.exitCode != 0)
                qWarning().noquote() << done.err.right(1500);
            if (record && !records(done.out).isEmpty())
                *record = records(done.out).constFirst();
            return QImage(out + QStringLiteral("/p.png"));
        };
        QJsonObject record;
        const QImage today = result({}, &record);
        QCOMPARE(today.size(), QSize(164, 108));
        QVERIFY(!record.contains(QStringLiteral("network_size")));
        QCOMPARE(result({QStringLiteral("--strength"), QStringLiteral("100")}), today);
        QCOMPARE(result({QStringLiteral("--factor"), QStringLiteral("4")}), today);
        QCOMPARE(
            result({QStringLiteral("--mix"), models.filePath(QStringLiteral("realesrgan-x4plus.param:0.4"))}),
            today);

        const QImage third = result({QStringLiteral("--factor"), QStringLiteral("3"),
                                     QStringLiteral("--strength"), QStringLiteral("60")},
                                    &record);
        QCOMPARE(third.size(), QSize(123, 81));
        QCOMPARE(record.value(QStringLiteral("size")).toArray(), (QJsonArray{123, 81}));
        QCOMPARE(record.value(QStringLiteral("network_size")).toArray(), (QJsonArray{164, 108}));
        QCOMPARE(result({QStringLiteral("--long-side"), QStringLiteral("300")}).size(), QSize(300, 198));
    }

    // Files as users have them, each through the whole program on its own: the name, the size, the
    // depth and channels, the orientation, the colour profile byte for byte and the metadata of the
    // result, and nothing else in the output folder; a file the program cannot take fails with its
    // reason. One row per file; every result is four times its input.
    void realFilesComeOutRight_data()
    {
        QTest::addColumn<QString>("input"); // in the corpus
        QTest::addColumn<CorpusResult>("expected");
        const QSize photo(192, 224); // the corpus photo, 48 x 56, upright
        const QString partly = QStringLiteral("damaged image: only partly decoded");
        const QString undecodable = QStringLiteral("damaged image: it cannot be decoded");
        auto row = [](const char *name, const char *input, CorpusResult expected) {
            QTest::newRow(name) << QString::fromUtf8(input) << std::move(expected);
        };
        row("PNG with the HP sRGB profile", "chelsea.png",
            CorpusResult::written("chelsea.png", photo).withProfile("srgb-hp.icc"));
        row("JPEG with the HP sRGB profile", "srgb-hp.jpg",
            CorpusResult::written("srgb-hp.png", photo).withProfile("srgb-hp.icc"));
        row("JPEG result keeps the HP profile", "srgb-hp.jpg",
            CorpusResult::written("srgb-hp.jpg", photo).withProfile("srgb-hp.icc").with({"-f", "jpg"}));
        row("sRGB v4", "srgb-v4.jpg", CorpusResult::written("srgb-v4.png", photo).withProfile("srgb-v4.icc"));
        row("sRGB v2 PNG", "srgb-v2.png",
            CorpusResult::written("srgb-v2.png", photo).withProfile("srgb-v2.icc"));
        row("Adobe RGB", "adobe-rgb.jpg",
            CorpusResult::written("adobe-rgb.png", photo).withProfile("adobe-rgb.icc"));
        row("Display P3", "display-p3.jpg",
            CorpusResult::written("display-p3.png", photo).withProfile("display-p3.icc"));
        row("grey with a grey profile", "grey.png",
            CorpusResult::written("grey.png", photo).layout(8, 0).withProfile("grey.icc"));
        for (int n = 1; n <= 8; ++n) {
            const QString input = QStringLiteral("orientation-%1.jpg").arg(n);
            QTest::addRow("EXIF orientation %d", n)
                << input
                << CorpusResult::written(QStringLiteral("orientation-%1.png").arg(n), photo)
                       .withProfile("adobe-rgb.icc")
                       .showing(n == 1 ? QString() : QStringLiteral("orientation-1.jpg"));
        }
        row("portrait to JPEG keeps its profile", "orientation-6.jpg",
            CorpusResult::written("orientation-6.jpg", photo)
                .withProfile("adobe-rgb.icc")
                .with({"-f", "jpg"}));
        row("progressive JPEG", "progressive.jpg",
            CorpusResult::written("progressive.png", photo).withProfile("srgb-v2.icc"));
        row("CMYK JPEG", "cmyk.jpg", CorpusResult::written("cmyk.png", photo));
        row("16-bit PNG", "deep.png",
            CorpusResult::written("deep.png", photo).layout(16, 2).withProfile("srgb-v4.icc"));
        row("palette PNG with tRNS", "palette-trns.png",
            CorpusResult::written("palette-trns.png", QSize(128, 128)).layout(8, 6).inInputsSpace());
        row("PNG with pHYs and text", "resolution-text.png",
            CorpusResult::written("resolution-text.png", photo)
                .inInputsSpace()
                .holding(
                    {"DotsPerMeter=11811", "Text.Title=Portrait", "Text.comment=Rear Admiral Grace Hopper"}));
        row("camera JPEG", "camera.jpg",
            CorpusResult::written("camera.png", photo)
                .withProfile("srgb-hp.icc")
                .holding({"Exif.Image.Make=Corvane", "Exif.Image.Model=Pelmora One",
                          "Exif.Photo.DateTimeOriginal=2024:05:01 10:00:00", "Xmp.dc.creator=Ada",
                          "Iptc.Application2.Caption=A portrait", "Iptc.Application2.Keywords=navy"}));
        row("camera JPEG to WebP: IPTC as XMP", "camera-to-webp.jpg",
            CorpusResult::written("camera-to-webp.webp", photo)
                .withProfile("srgb-hp.icc")
                .holding({"Exif.Image.Make=Corvane", "Xmp.dc.creator=Ada",
                          "Xmp.dc.description=lang=\"x-default\" A portrait", "Xmp.dc.subject=navy"})
                .with({"-f", "webp"}));
        // The EXIF resolution a TIFF states in its own tags; the others keep theirs in EXIF.
        row("camera JPEG to TIFF", "camera-to-tiff.jpg",
            CorpusResult::written("camera-to-tiff.tif", photo)
                .withProfile("srgb-hp.icc")
                .holding(
                    {"Exif.Image.Make=Corvane", "Xmp.dc.creator=Ada", "Iptc.Application2.Caption=A portrait"})
                .with({"-f", "tif"}));
        row("camera JPEG to JPEG XL: IPTC as XMP", "camera-to-jxl.jpg",
            CorpusResult::written("camera-to-jxl.jxl", photo)
                .withProfile("srgb-hp.icc")
                .holding({"Exif.Image.Make=Corvane", "Xmp.dc.creator=Ada", "Xmp.dc.subject=navy"})
                .with({"-f", "jxl"}));
        row("camera JPEG to AVIF: IPTC as XMP", "camera-to-avif.jpg",
            CorpusResult::written("camera-to-avif.avif", photo)
                .withProfile("srgb-hp.icc")
                .holding({"Exif.Image.Make=Corvane", "Xmp.dc.creator=Ada", "Xmp.dc.subject=navy"})
                .with({"-f", "avif"}));
        row("two-frame GIF", "animation.gif",
            CorpusResult::written("animation.png", QSize(128, 128))
                .layout(8, 6)
                .saying("only the first of its 2 frames was enlarged"));
        row("LZW TIFF", "lzw.tif", CorpusResult::written("lzw.png", photo).withProfile("srgb-v2.icc"));
        row("two-page TIFF", "pages.tif",
            CorpusResult::written("pages.png", photo).saying("only the first of its 2 pages was enlarged"));
        row("WebP", "photo.webp", CorpusResult::written("photo.png", photo));
        row("HEIC from a camera", "camera.heic",
            CorpusResult::written("camera.png", photo)
                .withProfile("srgb-hp.icc")
                .holding({"Exif.Image.Make=Corvane", "Exif.Image.Model=Pelmora One"}));
        row("10-bit AVIF", "deep10.avif",
            CorpusResult::written("deep10.png", photo).layout(16, 2).withProfile("srgb-v4.icc"));
        row("lossless JPEG XL", "lossless.jxl",
            CorpusResult::written("lossless.png", photo).withProfile("srgb-v2.icc"));
        row("JPEG XL with EXIF and XMP", "tagged.jxl",
            CorpusResult::written("tagged.png", photo)
                .withProfile("srgb-v2.icc")
                .holding({"Exif.Image.Make=Corvane", "Xmp.dc.creator=Ada"}));
        row("JPEG XL of a turned JPEG", "turned.jxl",
            CorpusResult::written("turned.png", photo)
                .withProfile("adobe-rgb.icc")
                .showing("orientation-1.jpg"));
        row("several dots", "trip.day1.png",
            CorpusResult::written("trip.day1.png", photo).withProfile("srgb-v2.icc"));
        row("a time in the name", "Screenshot 2024-01-01 at 10.23.45.png",
            CorpusResult::written("Screenshot 2024-01-01 at 10.23.45.png", photo).withProfile("srgb-v2.icc"));
        row("leading dot", ".a.png", CorpusResult::written(".a.png", photo).withProfile("srgb-v2.icc"));
        row("non-ASCII name", "Zdjęcie ü 写真.jpg",
            CorpusResult::written("Zdjęcie ü 写真.png", photo).withProfile("adobe-rgb.icc"));
        row("cut-off progressive JPEG", "cut-progressive.jpg", CorpusResult::refused(undecodable));
        row("cut-off baseline JPEG", "cut-srgb-hp.jpg", CorpusResult::refused(partly));
        row("cut-off PNG", "cut-srgb-v2.png", CorpusResult::refused(undecodable));
        row("cut-off GIF", "cut-animation.gif", CorpusResult::refused(partly));
        row("cut-off WebP", "cut-photo.webp", CorpusResult::refused(undecodable));
        row("cut-off HEIC", "cut-camera.heic", CorpusResult::refused(undecodable));
        row("cut-off AVIF", "cut-deep10.avif", CorpusResult::refused(undecodable));
        row("cut-off JPEG XL", "cut-lossless.jxl", CorpusResult::refused(undecodable));
        row("cut-off TIFF", "cut-lzw.tif", CorpusResult::refused(partly));
    }
    void realFilesComeOutRight()
    {
        QFETCH(QString, input);
        QFETCH(CorpusResult, expected);
        if (!makeCorpus())
            QSKIP(qPrintable(QStringLiteral("no corpus: ") + corpusProblem));
        const QString path = corpus.filePath(input);
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        const QString out = newFolder(QStringLiteral("corpus"));
        const Run result = run(expected.args + QStringList{QStringLiteral("-o"), out, path});
        if (expected.output.isEmpty()) {
            QCOMPARE(result.exitCode, 1);
            QVERIFY2(result.err.contains(QStringLiteral("failed %1: %2").arg(path, expected.said)),
                     qPrintable(result.err));
            QCOMPARE(entries(out), QStringList());
            return;
        }
        QVERIFY2(result.exitCode == 0, qPrintable(result.err.right(1500)));
        QCOMPARE(entries(out), QStringList{expected.output});
        const QString written = out + QLatin1Char('/') + expected.output;
        corpusResults.insert(input, written);
        if (!expected.said.isEmpty())
            QVERIFY2(result.err.contains(QStringLiteral("note %1: %2").arg(path, expected.said)),
                     qPrintable(result.err));
        else
            QVERIFY2(!result.err.contains(QStringLiteral("note ")), qPrintable(result.err));

        const QImage image = readResult(written, QImageReader::imageFormat(written).isEmpty()
                                                     ? QFileInfo(written).suffix().toLatin1()
                                                     : QImageReader::imageFormat(written));
        if (image.isNull() &&
            (written.endsWith(QStringLiteral(".jxl")) || written.endsWith(QStringLiteral(".avif"))))
            QSKIP("no decoder for the result here (djxl, avifdec or a Qt plugin)");
        QCOMPARE(image.size(), expected.size);
        if (written.endsWith(QStringLiteral(".png"))) {
            const QByteArray header = readBytes(written).left(26);
            QCOMPARE(int(uchar(header.at(24))), expected.bits);
            QCOMPARE(int(uchar(header.at(25))), expected.colourType);
        }
        if (expected.profile.isEmpty())
            QCOMPARE(image.colorSpace(), expected.inputsSpace ? QImage(path).colorSpace() : QColorSpace());
        else
            QVERIFY2(image.colorSpace().iccProfile() ==
                         readBytes(corpus.filePath(QStringLiteral("profiles/") + expected.profile)),
                     qPrintable(image.colorSpace().description()));
        QMap<QString, QString> found = metadataOf(written);
        for (const QString &key : image.textKeys())
            found.insert(QStringLiteral("Text.") + key, image.text(key));
        found.insert(QStringLiteral("DotsPerMeter"), QString::number(image.dotsPerMeterX()));
        for (const QString &entry : expected.metadata) {
            const QString key = entry.section(QLatin1Char('='), 0, 0);
            QCOMPARE(key + QLatin1Char('=') + found.value(key, QStringLiteral("(missing)")), entry);
        }
        if (!expected.sameAs.isEmpty()) {
            const QString upright = corpusResults.value(expected.sameAs);
            QVERIFY2(!upright.isEmpty(), "the row it is compared with runs first");
            const QImage a = image.convertToFormat(QImage::Format_RGB888);
            const QImage b = QImage(upright).convertToFormat(QImage::Format_RGB888);
            QCOMPARE(a.size(), b.size());
            // The JPEGs of the turned pixels differ only by their compression.
            QVERIFY2(meanDifference(a, b) < 6, qPrintable(QString::number(meanDifference(a, b))));
        }
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
            << QStringLiteral("cpu, gpu, gpu:N, gpu:UUID or gpu:PCI");
        QTest::newRow("no GPU of that identity")
            << QStringList{QStringLiteral("-d"), QStringLiteral("gpu:00000000-0000-0000-0000-00000000beef"),
                           QStringLiteral("x.png")}
            << QStringLiteral("no GPU has the identity 00000000-0000-0000-0000-00000000beef");
        QTest::newRow("unknown precision")
            << QStringList{QStringLiteral("--precision"), QStringLiteral("half"), QStringLiteral("x.png")}
            << QStringLiteral("auto, fp32, bf16 or fp16, not \"half\"");
        QTest::newRow("fp16 on the CPU")
            << QStringList{QStringLiteral("--precision"), QStringLiteral("fp16"), QStringLiteral("x.png")}
            << QStringLiteral("the CPU (");
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
        QTest::newRow("unknown format")
            << QStringList{QStringLiteral("-f"), QStringLiteral("gif"), QStringLiteral("x.png")}
            << QStringLiteral("png, tif, jxl, avif, jpg or webp");
        QTest::newRow("quality out of range")
            << QStringList{QStringLiteral("-f"), QStringLiteral("jpg"), QStringLiteral("--quality"),
                           QStringLiteral("0"), QStringLiteral("x.png")}
            << QStringLiteral("from 1 to 100");
        QTest::newRow("quality for png")
            << QStringList{QStringLiteral("--quality"), QStringLiteral("90"), QStringLiteral("x.png")}
            << QStringLiteral("png is lossless");
        QTest::newRow("quality for tif")
            << QStringList{QStringLiteral("-f"), QStringLiteral("tif"), QStringLiteral("--quality"),
                           QStringLiteral("80"), QStringLiteral("x.png")}
            << QStringLiteral("tif is lossless");
        QTest::newRow("dpi not a number")
            << QStringList{QStringLiteral("--dpi"), QStringLiteral("high"), QStringLiteral("x.png")}
            << QStringLiteral("dots per inch from 1 to 100000, not \"high\"");
        QTest::newRow("models missing")
            << QStringList{QStringLiteral("-m"), QStringLiteral("/nonexistent/models"),
                           QStringLiteral("x.png")}
            << QStringLiteral("does not load");
        // A garbage structure file is quoted without its control bytes.
        const QString garbage = newFolder(QStringLiteral("garbage"));
        writeBytes(garbage + QStringLiteral("/realesrgan-x4plus.param"), "\x1b[31m\x07junk\xff\xfe\n");
        writeBytes(garbage + QStringLiteral("/realesrgan-x4plus.bin"), "");
        QTest::newRow("garbage model") << QStringList{QStringLiteral("-m"), garbage, QStringLiteral("x.png")}
                                       << QStringLiteral("does not load");
        // A line of a binary file: quoted in a few dozen characters, not the whole of it.
        const QString binary = newFolder(QStringLiteral("binary"));
        writeBytes(binary + QStringLiteral("/realesrgan-x4plus.param"), QByteArray(20000, 'A') + "\x9b\n");
        writeBytes(binary + QStringLiteral("/realesrgan-x4plus.bin"), "");
        QTest::newRow("binary file as model")
            << QStringList{QStringLiteral("-m"), binary, QStringLiteral("x.png")}
            << QStringLiteral("got 'AAAAAAAAAA");
        // Names that would drive the terminal are refused, and quoted printable.
        const QString names = newFolder(QStringLiteral("names"));
        writeBytes(names + QStringLiteral("/realesrgan-x4plus.param"),
                   "7767517\n1 1\nInput \x1b]0;title\x07 0 1 data\n");
        writeBytes(names + QStringLiteral("/realesrgan-x4plus.bin"), "");
        QTest::newRow("layer name with escapes")
            << QStringList{QStringLiteral("-m"), names, QStringLiteral("x.png")}
            << QStringLiteral("'\\x1b]0;title\\x07': not a plain name");
        // The weights of a deeper network behind the structure of a smaller one.
        const QString mixed = newFolder(QStringLiteral("mixed"));
        writeTestModel(mixed, QStringLiteral("realesrgan-x4plus"), 4);
        writeTestModel(mixed, QStringLiteral("deeper"), 4, 5);
        QFile::remove(mixed + QStringLiteral("/realesrgan-x4plus.bin"));
        QFile::copy(mixed + QStringLiteral("/deeper.bin"), mixed + QStringLiteral("/realesrgan-x4plus.bin"));
        QTest::newRow("weights longer than the network")
            << QStringList{QStringLiteral("-m"), mixed, QStringLiteral("x.png")}
            << QStringLiteral("it belongs to another network");
        QTest::newRow("missing models say how to fetch them")
            << QStringList{QStringLiteral("-m"), QStringLiteral("/nonexistent/models"),
                           QStringLiteral("x.png")}
            << QStringLiteral("run 'brivelle-cli --fetch-models -m /nonexistent/models' to download them");
        // Refused before the model loads or any picture is computed, naming the folder and why.
        const QString blocked = unwritableFolder(work) + QStringLiteral("/results");
        QTest::newRow("output folder cannot be made")
            << QStringList{QStringLiteral("-o"), blocked, QStringLiteral("x.png")}
            << QStringLiteral("cannot write into the output folder %1: ").arg(blocked);
        QTest::newRow("quiet and verbose")
            << QStringList{QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("x.png")}
            << QStringLiteral("do not go together");
        QTest::newRow("-0 without a list")
            << QStringList{QStringLiteral("-0"), QStringLiteral("x.png")} << QStringLiteral("--files-from");
        QTest::newRow("standard input and a file")
            << QStringList{QStringLiteral("-"), QStringLiteral("x.png")}
            << QStringLiteral("must be the only input");
        QTest::newRow("nothing on standard input")
            << QStringList{QStringLiteral("-")} << QStringLiteral("standard input holds no picture");
        QTest::newRow("standard output and records")
            << QStringList{QStringLiteral("-o"), QStringLiteral("-"), QStringLiteral("-j"),
                           QStringLiteral("x.png")}
            << QStringLiteral("where -j would put its records");
        QTest::newRow("standard output for two inputs")
            << QStringList{QStringLiteral("-o"), QStringLiteral("-"), QStringLiteral("x.png"),
                           QStringLiteral("y.png")}
            << QStringLiteral("give one input, not 2");
        QTest::newRow("shard beyond its count")
            << QStringList{QStringLiteral("--shard"), QStringLiteral("4/3"), QStringLiteral("x.png")}
            << QStringLiteral("shard 4 of 3 does not exist");
        QTest::newRow("shard not K/N")
            << QStringList{QStringLiteral("--shard"), QStringLiteral("2"), QStringLiteral("x.png")}
            << QStringLiteral("--shard must be K/N");
        QTest::newRow("shard count alone")
            << QStringList{QStringLiteral("--shard-count"), QStringLiteral("3"), QStringLiteral("x.png")}
            << QStringLiteral("--shard-count needs");
        QTest::newRow("max failures 0")
            << QStringList{QStringLiteral("--max-failures"), QStringLiteral("0"), QStringLiteral("x.png")}
            << QStringLiteral("--max-failures must be");
        const QString held = newFolder(QStringLiteral("held")) + QStringLiteral("/run.jsonl");
        if (heldLock < 0) {
            heldLock = ::open(QFile::encodeName(held).constData(), O_CREAT | O_RDWR, 0644);
            QVERIFY(heldLock >= 0 && ::flock(heldLock, LOCK_EX) == 0);
        }
        QTest::newRow("manifest in use")
            << QStringList{QStringLiteral("--manifest"), held, QStringLiteral("x.png")}
            << QStringLiteral("in use by another run");
        QTest::newRow("--factor and --width")
            << QStringList{QStringLiteral("--factor"), QStringLiteral("3"), QStringLiteral("--width"),
                           QStringLiteral("800"), QStringLiteral("x.png")}
            << QStringLiteral("give one");
        QTest::newRow("--long-side and --height")
            << QStringList{QStringLiteral("--long-side"), QStringLiteral("3840"), QStringLiteral("--height"),
                           QStringLiteral("800"), QStringLiteral("x.png")}
            << QStringLiteral("give one");
        for (const char *factor : {"17", "0.5", "3x"})
            QTest::addRow("factor %s", factor)
                << QStringList{QStringLiteral("--factor"), QLatin1String(factor), QStringLiteral("x.png")}
                << QStringLiteral("decimal from 1 to 16");
        QTest::newRow("width 0") << QStringList{QStringLiteral("--width"), QStringLiteral("0"),
                                                QStringLiteral("x.png")}
                                 << QStringLiteral("from 1 to 1000000");
        QTest::newRow("strength 101")
            << QStringList{QStringLiteral("--strength"), QStringLiteral("101"), QStringLiteral("x.png")}
            << QStringLiteral("from 0 to 100");
        QTest::newRow("--mix without a weight")
            << QStringList{QStringLiteral("--mix"), QStringLiteral("other.param"), QStringLiteral("x.png")}
            << QStringLiteral("FILE.param:W");
        // The slot pair is the compact form; RRDBNet has other layers.
        const QString other = newFolder(QStringLiteral("other"));
        writeFamilyModel(other + QStringLiteral("/rrdb"), QStringLiteral("rrdb"), 4);
        QTest::newRow("--mix of another architecture")
            << QStringList{QStringLiteral("-m"), models.path(), QStringLiteral("--mix"),
                           other + QStringLiteral("/rrdb.param:0.5"), QStringLiteral("x.png")}
            << QStringLiteral("cannot mix %1 with %2: layer ")
                   .arg(models.filePath(QStringLiteral("realesrgan-x4plus.bin")),
                        other + QStringLiteral("/rrdb.bin"));
    }
    void badUsageExitsWithTwo()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, message);
        const QString out = newFolder(QStringLiteral("out"));
        const Run result = run(QStringList{QStringLiteral("-o"), out} + args);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QVERIFY2(!result.err.contains(QChar(0x1b)) && !result.err.contains(QChar(0x07)) &&
                     !result.err.contains(QChar(0x9b)) && result.err.size() < 800,
                 qPrintable(result.err.left(800)));
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
        QVERIFY2(result.exitCode == 0, qPrintable(result.err.right(1500)));
        const QImage tiled = QImage(out + QStringLiteral("/p.png")).convertToFormat(QImage::Format_RGB888);
        QCOMPARE(tiled.size(), size * scale);
        const QImage whole = wholePicture(param, source, scale, multiple);
        QCOMPARE(whole.size(), tiled.size());
        // A fast CPU path may sum a tile's convolutions in another order than the whole picture's.
        QVERIFY2(maxDifference(tiled, whole) <= 1, qPrintable(QString::number(maxDifference(tiled, whole))));
    }

    // Each input that yields no picture is a failure, named with its reason; the others are still
    // enlarged. A pipe is refused before it is opened, so it cannot hold the process.
    void inputsThatYieldNothingFail_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty folder")
            << QStringLiteral("empty") << QStringLiteral("no pictures in this folder");
        QTest::newRow("folder of bmp")
            << QStringLiteral("bmps") << QStringLiteral("no pictures in this folder");
        QTest::newRow("named bmp") << QStringLiteral("bmp")
                                   << QStringLiteral("not a picture this program reads");
        QTest::newRow("fifo") << QStringLiteral("fifo") << QStringLiteral("not a regular file");
        QTest::newRow("too large for memory")
            << QStringLiteral("huge") << QStringLiteral("the image is too large to open, it needs 152588 MB");
        // Decoding would fit, the enlarged result would not: refused from the header, not after
        // seconds of decoding. Which of the two limits speaks depends on the memory free.
        QTest::newRow("decodes, but too large to enlarge")
            << QStringLiteral("bomb") << QStringLiteral("the image is too large to open, it needs ");
    }
    void inputsThatYieldNothingFail()
    {
        QFETCH(QString, kind);
        QFETCH(QString, reason);
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        QString bad = in + QStringLiteral("/bad");
        if (kind == QLatin1String("empty") || kind == QLatin1String("bmps"))
            QVERIFY(QDir().mkpath(bad));
        if (kind == QLatin1String("bmps"))
            QVERIFY(picture(QSize(8, 8)).save(bad + QStringLiteral("/p.bmp")));
        if (kind == QLatin1String("bmp"))
            QVERIFY(picture(QSize(8, 8)).save(bad += QStringLiteral(".bmp")));
        if (kind == QLatin1String("fifo"))
            QCOMPARE(mkfifo(QFile::encodeName(bad += QStringLiteral(".png")).constData(), 0600), 0);
        if (kind == QLatin1String("huge") || kind == QLatin1String("bomb")) {
            // A header that declares 200000 x 200000 pixels, far beyond any machine's memory, or
            // 40000 x 40000, which decodes in 6 GB but enlarged needs a hundred.
            QByteArray header = pngBytes(picture(QSize(1, 1)));
            header.replace(16, 8,
                           kind == QLatin1String("huge") ? QByteArray("\0\x03\x0d\x40\0\x03\x0d\x40", 8)
                                                         : QByteArray("\0\0\x9c\x40\0\0\x9c\x40", 8));
            quint32 crc = 0xffffffff;
            for (const char byte : header.mid(12, 17)) {
                crc ^= quint8(byte);
                for (int bit = 0; bit < 8; ++bit)
                    crc = crc & 1 ? 0xedb88320 ^ (crc >> 1) : crc >> 1;
            }
            crc = ~crc;
            const char sum[4] = {char(crc >> 24), char(crc >> 16), char(crc >> 8), char(crc)};
            header.replace(29, 4, QByteArray(sum, 4));
            QVERIFY(writeBytes(bad += QStringLiteral(".png"), header));
        }
        QVERIFY(picture(QSize(16, 16)).save(in + QStringLiteral("/good.png")));
        const Run result =
            run({QStringLiteral("-j"), QStringLiteral("-o"), out, bad, in + QStringLiteral("/good.png")});
        QCOMPARE(result.exitCode, 1);
        QVERIFY2(result.err.contains(QStringLiteral("failed %1: %2").arg(bad, reason)),
                 qPrintable(result.err));
        QCOMPARE(entries(out), QStringList{QStringLiteral("good.png")});
        const QList<QJsonObject> list = records(result.out);
        QCOMPARE(list.size(), 2);
        QCOMPARE(list.first().value(QStringLiteral("input")).toString(), bad);
        QCOMPARE(list.first().value(QStringLiteral("status")).toString(), QStringLiteral("failed"));
    }

    // --fetch-models fetches what the window would, as it does: each file missing or of another size,
    // complete or not at all; one that fails ends the run with its name and why.
    void fetchModels_data()
    {
        QTest::addColumn<QString>("failing");
        QTest::addColumn<TestVendorServer::Mode>("mode");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("stored");
        const QString x2Bin = QStringLiteral("realesrgan-x2plus.bin");
        const QString x2Param = QStringLiteral("realesrgan-x2plus.param");
        const QString x4Bin = QStringLiteral("realesrgan-x4plus.bin");
        const QString x4Param = QStringLiteral("realesrgan-x4plus.param");
        QTest::newRow("all") << QString() << TestVendorServer::Mode::Normal << 0
                             << QStringList{x2Bin, x2Param, x4Bin, x4Param};
        QTest::newRow("one not found")
            << x4Bin << TestVendorServer::Mode::NotFound << 1 << QStringList{x2Bin, x2Param};
        QTest::newRow("one cut short")
            << x4Param << TestVendorServer::Mode::Truncated << 1 << QStringList{x2Bin, x2Param, x4Bin};
    }
    void fetchModels()
    {
        QFETCH(QString, failing);
        QFETCH(TestVendorServer::Mode, mode);
        QFETCH(QStringList, stored);
        TestVendorServer server;
        QVERIFY(server.listen());
        server.setFolder(served.path());
        server.setMode(TestVendorServer::modelPath(failing), mode);
        const QByteArray before = qgetenv("BRIVELLE_SERVER_URL");
        const auto restore = qScopeGuard([&] { qputenv("BRIVELLE_SERVER_URL", before); });
        qputenv("BRIVELLE_SERVER_URL", server.origin().toString().toUtf8());
        // The x2 structure is in place; its weights are a byte short.
        const QString folder = newFolder(QStringLiteral("fetched"));
        QVERIFY(QFile::copy(served.filePath(QStringLiteral("realesrgan-x2plus.param")),
                            folder + QStringLiteral("/realesrgan-x2plus.param")));
        QVERIFY(writeBytes(folder + QStringLiteral("/realesrgan-x2plus.bin"), "short"));

        const Run result = run({QStringLiteral("--fetch-models"), QStringLiteral("-m"), folder});
        QTEST(result.exitCode, "exitCode");
        QCOMPARE(entries(folder), stored);
        for (const QString &name : stored)
            QVERIFY2(readBytes(folder + QLatin1Char('/') + name) == readBytes(served.filePath(name)),
                     qPrintable(name));
        QVERIFY(!server.requestedPaths().contains(
            TestVendorServer::modelPath(QStringLiteral("realesrgan-x2plus.param"))));
        QVERIFY2(result.err.contains(QStringLiteral("realesrgan-x2plus.bin: ")), qPrintable(result.err));
        if (!failing.isEmpty()) {
            QVERIFY2(result.err.contains(QStringLiteral("failed %1: ").arg(failing)), qPrintable(result.err));
            return;
        }
        // Once in place, nothing is fetched again.
        const qsizetype requests = server.requestedPaths().size();
        const Run again = run({QStringLiteral("--fetch-models"), QStringLiteral("-m"), folder});
        QCOMPARE(again.exitCode, 0);
        QVERIFY2(again.err.contains(QStringLiteral("every model file is in place")), qPrintable(again.err));
        QCOMPARE(server.requestedPaths().size(), requests);
    }

    void informationOptions_data()
    {
        QTest::addColumn<QString>("option");
        QTest::addColumn<QString>("text");
        QTest::newRow("help") << QStringLiteral("--help")
                              << QStringLiteral("--device <cpu|gpu|gpu:N|gpu:UUID|gpu:PCI>");
        QTest::newRow("version") << QStringLiteral("--version") << QStringLiteral("brivelle-cli 1.");
        QTest::newRow("-V") << QStringLiteral("-V") << QStringLiteral("brivelle-cli 1.");
        QTest::newRow("help for scripts") << QStringLiteral("-h") << QStringLiteral("--files-from <FILE>");
        QTest::newRow("help on the models") << QStringLiteral("-h") << QStringLiteral("--fetch-models");
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

    // Runs over a folder that also receives the results enlarge only the photos; --skip-existing
    // resumes without doing anything twice; --keep-tree keeps pictures of the same name apart.
    void rerunsAndResumes()
    {
        const QString in = newFolder(QStringLiteral("in"));
        QVERIFY(QDir().mkpath(in + QStringLiteral("/day1")) && QDir().mkpath(in + QStringLiteral("/day2")));
        QVERIFY(picture(QSize(20, 10)).save(in + QStringLiteral("/a.png")));
        QVERIFY(picture(QSize(10, 8)).save(in + QStringLiteral("/day1/IMG.jpg")));
        QVERIFY(picture(QSize(12, 8)).save(in + QStringLiteral("/day2/IMG.jpg")));
        const QStringList twice{QStringLiteral("-s"), QStringLiteral("2")};
        for (int i = 0; i < 3; ++i) {
            const Run result = run(twice + QStringList{QStringLiteral("-o"), in, in});
            QVERIFY2(result.exitCode == 0, qPrintable(result.err.right(1500)));
        }
        // Formats that keep no picture text carry the mark too.
        for (const QString &format : {QStringLiteral("jpg"), QStringLiteral("webp")}) {
            const QString mixed = newFolder(QStringLiteral("mixed-") + format);
            QVERIFY(picture(QSize(20, 10)).save(mixed + QStringLiteral("/a.png")));
            for (int i = 0; i < 3; ++i) {
                const Run result = run(
                    twice + QStringList{QStringLiteral("-f"), format, QStringLiteral("-o"), mixed, mixed});
                QVERIFY2(result.exitCode == 0, qPrintable(result.err));
            }
            QCOMPARE(entries(mixed).size(), 1 + 3);
        }
        // Every result is twice a photo, never four or eight times.
        QStringList results = entries(in);
        results.removeAll(QStringLiteral("day1"));
        results.removeAll(QStringLiteral("day2"));
        QCOMPARE(results.size(), 1 + 3 * 3);
        for (const QString &name : results) {
            const QSize size = QImage(in + QLatin1Char('/') + name).size();
            QVERIFY2(size == QSize(20, 10) || size == QSize(40, 20) || size == QSize(20, 16) ||
                         size == QSize(24, 16),
                     qPrintable(name));
        }

        const QString out = newFolder(QStringLiteral("out"));
        const QStringList keepTree =
            twice + QStringList{QStringLiteral("--keep-tree"), QStringLiteral("-o"), out};
        const Run first = run(keepTree + QStringList{in});
        QVERIFY2(first.exitCode == 0, qPrintable(first.err));
        QCOMPARE(entries(out),
                 (QStringList{QStringLiteral("a.png"), QStringLiteral("day1"), QStringLiteral("day2")}));
        QCOMPARE(entries(out + QStringLiteral("/day1")), QStringList{QStringLiteral("IMG.png")});
        // As if the run had been stopped before its last picture.
        QVERIFY(QFile::remove(out + QStringLiteral("/day2/IMG.png")));
        // The list, NUL-separated on standard input, names the folder and one of its files again.
        const QByteArray list = in.toUtf8() + '\0' + in.toUtf8() + "/day2/IMG.jpg" + '\0';
        const Run resumed = run(keepTree + QStringList{QStringLiteral("--skip-existing"),
                                                       QStringLiteral("-j"), QStringLiteral("--files-from"),
                                                       QStringLiteral("-"), QStringLiteral("-0")},
                                list);
        QVERIFY2(resumed.exitCode == 0, qPrintable(resumed.err));
        QCOMPARE(entries(out + QStringLiteral("/day1")), QStringList{QStringLiteral("IMG.png")});
        QCOMPARE(entries(out + QStringLiteral("/day2")), QStringList{QStringLiteral("IMG.png")});
        QCOMPARE(QImage(out + QStringLiteral("/day2/IMG.png")).size(), QSize(24, 16));
        // The file named again besides its folder is said so, and enlarged once.
        QStringList statuses;
        for (const QJsonObject &record : records(resumed.out))
            statuses << record.value(QStringLiteral("status")).toString();
        QCOMPARE(statuses, (QStringList{QStringLiteral("skipped"), QStringLiteral("skipped"),
                                        QStringLiteral("skipped"), QStringLiteral("written")}));
        QCOMPARE(records(resumed.out).first().value(QStringLiteral("reason")).toString(),
                 QStringLiteral("listed twice: enlarged once"));
        QVERIFY2(resumed.err.contains(QStringLiteral("note %1/day2/IMG.jpg: listed twice").arg(in)),
                 qPrintable(resumed.err));
    }

    // The mirrored tree is relative to the named folder, however it is spelled, and always inside the
    // output folder: reruns never write into the input.
    void keepTreeWhateverTheSpelling_data()
    {
        QTest::addColumn<QString>("spelling"); // of the input folder, from the working folder
        QTest::newRow("relative") << QStringLiteral("kt/y");
        QTest::newRow("through the parent") << QStringLiteral("../kt/y");
        QTest::newRow("absolute") << QStringLiteral("ABSOLUTE/kt/y");
    }
    void keepTreeWhateverTheSpelling()
    {
        QFETCH(QString, spelling);
        const QString top = newFolder(QStringLiteral("spelled"));
        const QString in = top + QStringLiteral("/kt/y");
        QVERIFY(QDir().mkpath(in + QStringLiteral("/sub")));
        QVERIFY(picture(QSize(8, 8)).save(in + QStringLiteral("/p0.png")));
        QVERIFY(picture(QSize(8, 6)).save(in + QStringLiteral("/sub/p1.png")));
        // "../kt/y" is typed inside kt, the others beside it.
        const QString cwd = spelling.startsWith(QStringLiteral("..")) ? top + QStringLiteral("/kt") : top;
        const QString named = QString(spelling).replace(QStringLiteral("ABSOLUTE"), top);
        const QString out =
            spelling.startsWith(QStringLiteral("..")) ? QStringLiteral("../ok") : QStringLiteral("ok");
        for (int i = 0; i < 2; ++i) {
            const Run result = run({QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("--keep-tree"),
                                    QStringLiteral("-o"), out, named},
                                   {}, cwd);
            QVERIFY2(result.exitCode == 0, qPrintable(result.err));
        }
        QCOMPARE(entries(in), (QStringList{QStringLiteral("p0.png"), QStringLiteral("sub")}));
        QCOMPARE(entries(in + QStringLiteral("/sub")), QStringList{QStringLiteral("p1.png")});
        QCOMPARE(entries(top + QStringLiteral("/ok")),
                 (QStringList{QStringLiteral("p0(2).png"), QStringLiteral("p0.png"), QStringLiteral("sub")}));
        QCOMPARE(entries(top + QStringLiteral("/ok/sub")),
                 (QStringList{QStringLiteral("p1(2).png"), QStringLiteral("p1.png")}));
    }

    // Shards of one tree are disjoint and complete, whether named by --shard or by the scheduler's
    // environment, and whatever the tree's own place; a manifest lets a rerun do only what is
    // missing; a failure limit stops the run.
    void shardsAndManifests()
    {
        const QString in = newFolder(QStringLiteral("tree"));
        QStringList all;
        for (int i = 0; i < 12; ++i) {
            const QString name =
                QStringLiteral("%1/p%2.png").arg(i % 3 ? QStringLiteral("a") : QStringLiteral("b")).arg(i);
            QVERIFY(QDir().mkpath(QFileInfo(in + QLatin1Char('/') + name).path()));
            QVERIFY(picture(QSize(8, 6)).save(in + QLatin1Char('/') + name));
            all << in + QLatin1Char('/') + name;
        }
        // The same tree mounted in another place.
        const QString moved = newFolder(QStringLiteral("elsewhere")) + QStringLiteral("/tree");
        QVERIFY(QFile::link(in, moved));
        auto inputsOf = [](const Run &result) {
            QStringList inputs;
            for (const QJsonObject &record : records(result.out))
                inputs << QFileInfo(record.value(QStringLiteral("input")).toString()).fileName();
            return inputs;
        };
        QSet<QString> seen;
        for (int k = 1; k <= 3; ++k) {
            const QStringList common{QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-j"),
                                     QStringLiteral("-o"), newFolder(QStringLiteral("out"))};
            const Run named =
                run(common + QStringList{QStringLiteral("--shard"), QStringLiteral("%1/3").arg(k), in});
            QVERIFY2(named.exitCode == 0, qPrintable(named.err));
            const Run slurm =
                run(common + QStringList{moved}, {}, {}, QStringLiteral(BRIVELLE_CLI),
                    {QStringLiteral("SLURM_ARRAY_TASK_ID=%1").arg(k + 9),
                     QStringLiteral("SLURM_ARRAY_TASK_MIN=10"), QStringLiteral("SLURM_ARRAY_TASK_COUNT=3")});
            const Run indexed =
                run(common + QStringList{QStringLiteral("--shard-count"), QStringLiteral("3"), moved}, {}, {},
                    QStringLiteral(BRIVELLE_CLI), {QStringLiteral("JOB_COMPLETION_INDEX=%1").arg(k - 1)});
            const QStringList part = inputsOf(named);
            QCOMPARE(inputsOf(slurm), part);
            QCOMPARE(inputsOf(indexed), part);
            for (const QString &input : part) {
                QVERIFY2(!seen.contains(input), qPrintable(input));
                seen.insert(input);
            }
        }
        QCOMPARE(seen.size(), 12);

        const QString out = newFolder(QStringLiteral("out"));
        const QString manifest = newFolder(QStringLiteral("manifest")) + QStringLiteral("/run.jsonl");
        const QStringList withManifest{QStringLiteral("-s"),
                                       QStringLiteral("2"),
                                       QStringLiteral("--keep-tree"),
                                       QStringLiteral("--manifest"),
                                       manifest,
                                       QStringLiteral("-o"),
                                       out,
                                       moved};
        QCOMPARE(run(withManifest).exitCode, 0);
        // As a run killed in the middle of a line leaves it, and with one result gone since.
        QFile file(manifest);
        QVERIFY(file.open(QIODevice::Append) && file.write("{\"input\": \"") > 0);
        file.close();
        QVERIFY(QFile::remove(out + QStringLiteral("/a/p1.png")));
        const Run rerun = run(withManifest + QStringList{QStringLiteral("-j")});
        QCOMPARE(rerun.exitCode, 0);
        QStringList written;
        for (const QJsonObject &record : records(rerun.out)) {
            if (record.value(QStringLiteral("status")).toString() == QLatin1String("written"))
                written << QFileInfo(record.value(QStringLiteral("input")).toString()).fileName();
        }
        QCOMPARE(written, QStringList{QStringLiteral("p1.png")});
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(),
                 2 * 13 + 2); // two runs of 12 inputs and an end, the cut line, the last newline
        const QJsonObject first = QJsonDocument::fromJson(lines.first()).object();
        for (const char *key : {"input", "output", "status", "seconds", "size", "input_size", "bytes",
                                "network", "param_sha256", "bin_sha256", "precision", "device", "version"})
            QVERIFY2(first.contains(QLatin1String(key)), key);
        QCOMPARE(first.value(QStringLiteral("param_sha256")).toString().size(), 64);
        // What ran, as -j says it: bf16 only where the CPU has it.
        QCOMPARE(first.value(QStringLiteral("precision")).toString(),
                 QString::fromLatin1(ncnn::cpu_support_bf16() ? "bf16" : "fp32"));
        const QJsonObject end = QJsonDocument::fromJson(lines.at(lines.size() - 2)).object();
        QCOMPARE(end.value(QStringLiteral("event")).toString(), QStringLiteral("end"));
        QCOMPARE(end.value(QStringLiteral("written")).toInt(), 12);

        // Two inputs that are not there reach the limit before any picture starts.
        const Run limited = run({QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-j"),
                                 QStringLiteral("--max-failures"), QStringLiteral("2"), QStringLiteral("-o"),
                                 newFolder(QStringLiteral("out")), QStringLiteral("/nonexistent/1.png"),
                                 QStringLiteral("/nonexistent/2.png"), moved});
        QCOMPARE(limited.exitCode, 1);
        QVERIFY2(limited.err.contains(QStringLiteral("stopped after 2 failures")), qPrintable(limited.err));
        QCOMPARE(records(limited.out).size(), 14);
    }

    // Three shards as GNU parallel runs them, one killed mid-run and resumed by parallel's own
    // --resume-failed through its manifest: together they do every picture once, and leave every
    // manifest line whole and no part file behind.
    void parallelShardsResumeAfterAKill()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("parallel")).isEmpty())
            QSKIP("GNU parallel is not installed");
        const QString slowModels = newFolder(QStringLiteral("slow"));
        QVERIFY(writeTestModel(slowModels, QStringLiteral("realesrgan-x2plus"), 2, 8, 32));
        const QString in = newFolder(QStringLiteral("sixty"));
        for (int i = 0; i < 60; ++i) {
            const QString path = QStringLiteral("%1/d%2/p%3.png").arg(in).arg(i % 4).arg(i);
            QVERIFY(QDir().mkpath(QFileInfo(path).path()) && picture(QSize(48, 40)).save(path));
        }
        const QString out = newFolder(QStringLiteral("out"));
        const QString logs = newFolder(QStringLiteral("logs"));
        // Each shard leaves its process id, so that one of them can be killed.
        const QString command =
            QStringLiteral("echo $$ > %1/pid-{} && exec %2 -q -s 2 -m %3 --keep-tree --shard {}/3 "
                           "--manifest %1/run-{}.jsonl -o %4 %5")
                .arg(logs, QStringLiteral(BRIVELLE_CLI), slowModels, out, in);
        const QStringList parallel{QStringLiteral("--joblog"),
                                   logs + QStringLiteral("/jobs"),
                                   QStringLiteral("-j"),
                                   QStringLiteral("3"),
                                   command,
                                   QStringLiteral(":::"),
                                   QStringLiteral("1"),
                                   QStringLiteral("2"),
                                   QStringLiteral("3")};
        QProcess first;
        // parallel keeps its own files under $HOME: the test's, not the user's.
        const QStringList ownHome{QStringLiteral("HOME=") + home.path()};
        start(first, parallel, QStringLiteral("parallel"), ownHome);
        const QString manifest2 = logs + QStringLiteral("/run-2.jsonl");
        QVERIFY(QTest::qWaitFor(
            [&] { return QFileInfo(manifest2).size() > 0 || first.state() == QProcess::NotRunning; }, 60000));
        QVERIFY2(first.state() == QProcess::Running, "the shards ended before one could be killed");
        const pid_t victim = pid_t(readBytes(logs + QStringLiteral("/pid-2")).trimmed().toInt());
        QVERIFY(victim > 0 && ::kill(victim, SIGKILL) == 0);
        QVERIFY(first.waitForFinished(120000));
        QCOMPARE(first.exitCode(), 1); // one job failed
        QProcess resumed;
        start(resumed, QStringList{QStringLiteral("--resume-failed")} + parallel, QStringLiteral("parallel"),
              ownHome);
        QVERIFY(resumed.waitForFinished(120000));
        QCOMPARE(resumed.exitCode(), 0);

        QSet<QString> done;
        QSet<QString> covered; // written, or found written by the rerun
        for (int k = 1; k <= 3; ++k) {
            QFile file(QStringLiteral("%1/run-%2.jsonl").arg(logs).arg(k));
            QVERIFY(file.open(QIODevice::ReadOnly));
            for (const QByteArray &line : file.readAll().split('\n')) {
                if (line.isEmpty())
                    continue;
                QJsonParseError error;
                const QJsonObject record = QJsonDocument::fromJson(line, &error).object();
                QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
                const QString input = record.value(QStringLiteral("input")).toString();
                const QString status = record.value(QStringLiteral("status")).toString();
                if (status == QLatin1String("written")) {
                    QVERIFY2(!done.contains(input), qPrintable(input));
                    done.insert(input);
                }
                if (status == QLatin1String("written") || status == QLatin1String("skipped"))
                    covered.insert(input);
            }
        }
        QStringList results;
        QDirIterator walk(out, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (walk.hasNext())
            results << walk.next();
        QCOMPARE(results.size(), 60); // no part file, no second result of a picture
        for (const QString &result : results)
            QVERIFY2(!result.contains(QLatin1Char('(')) && !result.endsWith(QStringLiteral(".part")),
                     qPrintable(result));
        QCOMPARE(covered.size(), 60);
    }

    // One picture from standard input to standard output, or into a folder as "stdin"; the private
    // folder that carries them is gone afterwards.
    void standardStreams()
    {
        const QImage source = picture(QSize(10, 6));
        const QString temporary = newFolder(QStringLiteral("tmp"));
        const QStringList tmp{QStringLiteral("TMPDIR=") + temporary};
        const QString bin = QStringLiteral(BRIVELLE_CLI);
        const Run piped = run({QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-"),
                               QStringLiteral("-o"), QStringLiteral("-")},
                              pngBytes(source), {}, bin, tmp);
        QCOMPARE(piped.exitCode, 0);
        QVERIFY2(piped.err.contains(QStringLiteral("written - -> -")), qPrintable(piped.err));
        QCOMPARE(QImage::fromData(piped.bytes).size(), QSize(20, 12));
        const QString out = newFolder(QStringLiteral("out"));
        QCOMPARE(
            run({QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-o"), out, QStringLiteral("-")},
                pngBytes(source), {}, bin, tmp)
                .exitCode,
            0);
        QCOMPARE(entries(out), QStringList{QStringLiteral("stdin.png")});
        QCOMPARE(entries(temporary), QStringList{});
    }

    // A GPU chosen by the identity --list-devices gives runs on it, as one chosen by its number does.
    void gpuByIdentity()
    {
        const Run list = run({QStringLiteral("--list-devices")});
        const QRegularExpressionMatch uuid =
            QRegularExpression(QStringLiteral("^gpu:0\t.*\tuuid ([0-9a-f-]{36})"),
                               QRegularExpression::MultilineOption)
                .match(list.out);
        if (!uuid.hasMatch())
            QSKIP("no GPU with a UUID here");
        const QString in = newFolder(QStringLiteral("in"));
        QVERIFY(picture(QSize(8, 8)).save(in + QStringLiteral("/p.png")));
        const Run result =
            run({QStringLiteral("-v"), QStringLiteral("-d"),
                 QStringLiteral("gpu:") + uuid.captured(1).toUpper(), QStringLiteral("-s"),
                 QStringLiteral("2"), QStringLiteral("-o"), newFolder(QStringLiteral("out")), in});
        QVERIFY2(result.exitCode == 0 && result.err.contains(QStringLiteral("device: gpu:0 ")),
                 qPrintable(result.err));
        const Run hidden =
            run({QStringLiteral("-d"), QStringLiteral("gpu:") + uuid.captured(1), QStringLiteral("x.png")},
                {}, {}, QStringLiteral(BRIVELLE_CLI), {QStringLiteral("BRIVELLE_VISIBLE_DEVICES=7")});
        QCOMPARE(hidden.exitCode, 2);
    }

    // The CPU's threads follow the processors the process may use, not the machine's count.
    void threadsFollowTheAffinity()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("taskset")).isEmpty())
            QSKIP("taskset is not installed");
        const QString in = newFolder(QStringLiteral("in"));
        QVERIFY(picture(QSize(8, 8)).save(in + QStringLiteral("/p.png")));
        QProcess process;
        start(process,
              {QStringLiteral("-c"), QStringLiteral("0"), QStringLiteral(BRIVELLE_CLI), QStringLiteral("-v"),
               QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-o"),
               newFolder(QStringLiteral("out")), in},
              QStringLiteral("taskset"));
        QVERIFY(process.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        QVERIFY2(err.contains(QStringLiteral("device: cpu, 1 thread,")), qPrintable(err));
    }

    // A full disk may pass, so a retry policy may retry it: 75, not 1. The disk is a small memory
    // disk in a mount namespace of the child's own, gone with it.
    void fullDiskExitsWith75()
    {
        if (QProcess::execute(QStringLiteral("unshare"), {QStringLiteral("-rm"), QStringLiteral("true")}) !=
            0)
            QSKIP("no user and mount namespaces here (unshare -rm)");
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("small-disk"));
        QImage noise(96, 96, QImage::Format_RGB32);
        for (int y = 0; y < noise.height(); ++y)
            for (int x = 0; x < noise.width(); ++x)
                noise.setPixel(x, y,
                               qRgb((x * 7919 + y * 104729) % 251, (x * y * 31) % 253, (x ^ (y * 13)) % 255));
        QVERIFY(noise.save(in + QStringLiteral("/noise.png")));
        QProcess process;
        start(process,
              {QStringLiteral("-rm"), QStringLiteral("sh"), QStringLiteral("-c"),
               QStringLiteral("mount -t tmpfs -o size=16k tmpfs \"$1\" && exec \"$2\" -s 2 -o \"$1\" \"$3\""),
               QStringLiteral("sh"), out, QStringLiteral(BRIVELLE_CLI), in + QStringLiteral("/noise.png")},
              QStringLiteral("unshare"));
        QVERIFY(process.waitForFinished(60000));
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        if (err.contains(QStringLiteral("mount:")))
            QSKIP("no memory disk can be mounted here");
        QVERIFY2(err.contains(QStringLiteral("the disk is full")), qPrintable(err));
        QCOMPARE(process.exitCode(), 75);
    }

    // A part file that a killed run left is removed by the next run into the folder; one that a
    // running process is writing (it holds the lock) is left alone.
    void staleProgressFilesAreRemoved()
    {
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        QVERIFY(picture(QSize(8, 8)).save(in + QStringLiteral("/p.png")));
        const QString stale = out + QStringLiteral("/.brivelle-00000000000000aa.png.part");
        const QString busy = out + QStringLiteral("/.brivelle-00000000000000bb.png.part");
        QVERIFY(writeBytes(stale, "half") && writeBytes(busy, "being written"));
        const int fd = ::open(QFile::encodeName(busy).constData(), O_RDONLY);
        QVERIFY(fd >= 0 && ::flock(fd, LOCK_EX) == 0);
        const Run result = run({QStringLiteral("-q"), QStringLiteral("-o"), out, in});
        ::close(fd);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QString()); // quiet
        QCOMPARE(entries(out), (QStringList{QStringLiteral(".brivelle-00000000000000bb.png.part"),
                                            QStringLiteral("p.png")}));
    }

    // A closed standard output stops the run with a message, and leaves nothing half-written.
    void closedOutputStops()
    {
        const QString slowModels = newFolder(QStringLiteral("slow"));
        QVERIFY(writeTestModel(slowModels, QStringLiteral("realesrgan-x2plus"), 2, 8, 32));
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        QVERIFY(picture(QSize(8, 8)).save(in + QStringLiteral("/a.png")));
        for (const char *name : {"/b.png", "/c.png"})
            QVERIFY(picture(QSize(512, 256)).save(in + QLatin1String(name)));
        // As in `brivelle-cli -j ... | head -n 1`.
        QProcess process;
        QProcess head;
        process.setStandardOutputProcess(&head);
        head.start(QStringLiteral("head"), {QStringLiteral("-n"), QStringLiteral("1")});
        start(process,
              {QStringLiteral("-j"), QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-t"),
               QStringLiteral("32"), QStringLiteral("-m"), slowModels, QStringLiteral("-o"), out, in});
        QVERIFY(process.waitForFinished(60000));
        QVERIFY(head.waitForFinished(60000));
        QCOMPARE(records(QString::fromUtf8(head.readAllStandardOutput())).size(), 1);
        const QString err = QString::fromLocal8Bit(process.readAllStandardError());
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        QVERIFY2(err.contains(QStringLiteral("standard output was closed")), qPrintable(err));
        for (const QString &name : entries(out))
            QVERIFY2(!name.startsWith(QLatin1Char('.')), qPrintable(name));
    }

    // Stopped in the middle of a picture, the process leaves nothing of it behind and says why it
    // ended. A deeper network and small tiles keep the picture busy for a good while.
    void signalMidPictureLeavesNoFile_data()
    {
        QTest::addColumn<int>("stops");
        QTest::newRow("SIGTERM") << 1;
        // Two kinds, as two of one kind sent together arrive as one.
        QTest::newRow("SIGTERM and Ctrl-C") << 2;
    }
    void signalMidPictureLeavesNoFile()
    {
        QFETCH(int, stops);
        const QString slowModels = newFolder(QStringLiteral("slow"));
        QVERIFY(writeTestModel(slowModels, QStringLiteral("realesrgan-x2plus"), 2, 8, 32));
        const QString in = newFolder(QStringLiteral("in"));
        const QString out = newFolder(QStringLiteral("out"));
        QVERIFY(picture(QSize(512, 256)).save(in + QStringLiteral("/large.png")));
        QVERIFY(picture(QSize(8, 8)).save(in + QStringLiteral("/next.png")));
        QProcess process;
        start(process, {QStringLiteral("-j"), QStringLiteral("-s"), QStringLiteral("2"), QStringLiteral("-t"),
                        QStringLiteral("32"), QStringLiteral("-m"), slowModels, QStringLiteral("-o"), out,
                        in + QStringLiteral("/large.png"), in + QStringLiteral("/next.png")});
        QString err;
        QVERIFY(QTest::qWaitFor(
            [&] {
                err += QString::fromLocal8Bit(process.readAllStandardError());
                return err.contains(QStringLiteral("tile ")) || process.state() == QProcess::NotRunning;
            },
            60000));
        QVERIFY2(process.state() == QProcess::Running, "the picture ended before the test could stop it");
        process.terminate();
        if (stops > 1)
            ::kill(pid_t(process.processId()), SIGINT);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 130);
        QVERIFY(entries(out).isEmpty());
        // Every input still gets its record, also when a second signal ends the process at once.
        QStringList statuses;
        for (const QJsonObject &record : records(QString::fromUtf8(process.readAllStandardOutput())))
            statuses << record.value(QStringLiteral("status")).toString();
        QCOMPARE(statuses, (QStringList{QStringLiteral("cancelled"), QStringLiteral("not-started")}));
    }
};

QTEST_GUILESS_MAIN(CliTest)
#include "tst_cli.moc"
