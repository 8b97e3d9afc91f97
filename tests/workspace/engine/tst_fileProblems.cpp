#include "support/sampleGif.h"
#include "workspace/engine/fileProblems.h"
#include "workspace/engine/imageInput.h"
#include "workspace/engine/pngOutput.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <cerrno>

using engine::InputProblem;

Q_DECLARE_METATYPE(engine::InputProblem)

namespace {

QByteArray encoded(const char *format)
{
    QImage image(96, 64, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, qRgb(x * 2, y * 3, (x * y) % 256));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

bool refusesNewFiles(const QString &folder)
{
    QTemporaryFile file(folder + QStringLiteral("/probe-XXXXXX"));
    return QFileInfo(folder).isDir() && !file.open();
}

// A folder in which even root cannot create a file: permissions bind other users; sysfs refuses
// everyone. Empty when neither holds here.
QString folderNobodyMayWrite(const QTemporaryDir &base)
{
    const QString folder = base.filePath(QStringLiteral("read-only"));
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
    if (refusesNewFiles(folder))
        return folder;
    const QString sys = QStringLiteral("/sys");
    return refusesNewFiles(sys) ? sys : QString();
}

} // namespace

class FileProblemsTest : public QObject {
    Q_OBJECT

private slots:
    void inputs_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<InputProblem>("problem");
        QTest::addColumn<QString>("words");
        const QByteArray jpeg = encoded("jpeg");
        const QByteArray png = encoded("png");
        QTest::newRow("whole JPEG") << QStringLiteral("a.jpg") << jpeg << InputProblem::None << QString();
        QTest::newRow("JPEG with bytes after its end")
            << QStringLiteral("b.jpg") << jpeg + QByteArray(300, '\0') << InputProblem::None << QString();
        // Decoders fill the missing half with grey and report nothing.
        QTest::newRow("JPEG cut in half")
            << QStringLiteral("c.jpg") << jpeg.left(jpeg.size() / 2) << InputProblem::PartlyDecoded
            << QStringLiteral("damaged image: only partly decoded");
        QTest::newRow("whole PNG") << QStringLiteral("d.png") << png << InputProblem::None << QString();
        QTest::newRow("PNG cut in half")
            << QStringLiteral("e.png") << png.left(png.size() / 2) << InputProblem::Damaged
            << QStringLiteral("damaged image: it cannot be decoded");
        // The decoder enlarges what the first frame has and says nothing.
        const QByteArray gif = twoFrameGif();
        QTest::newRow("whole GIF") << QStringLiteral("h.gif") << gif << InputProblem::None << QString();
        QTest::newRow("GIF without its trailer")
            << QStringLiteral("i.gif") << gif.chopped(1) << InputProblem::PartlyDecoded
            << QStringLiteral("damaged image: only partly decoded");
        QTest::newRow("GIF cut in its first frame")
            << QStringLiteral("j.gif") << gif.left(60) << InputProblem::PartlyDecoded
            << QStringLiteral("damaged image: only partly decoded");
        QTest::newRow("text behind an image name")
            << QStringLiteral("f.jpg") << QByteArray("hello, world") << InputProblem::NotAnImage
            << QStringLiteral("not a readable image");
        QTest::newRow("gone since it was listed")
            << QStringLiteral("g.png") << QByteArray() << InputProblem::Missing
            << QStringLiteral("the file is no longer there");
    }
    void inputs()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(InputProblem, problem);
        QFETCH(QString, words);
        QTemporaryDir dir;
        const QString path = dir.filePath(name);
        if (problem != InputProblem::Missing) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        }
        const engine::LoadedImage loaded = engine::loadInputImage(path);
        QCOMPARE(loaded.problem, problem);
        QCOMPARE(loaded.error, words);
        QCOMPARE(loaded.image.isNull(), problem != InputProblem::None);
    }

    void writeCauses_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("systemText");
        QTest::addColumn<QString>("cause");
        QTest::newRow("permission") << EACCES << QStringLiteral("Permission denied")
                                    << QStringLiteral("permission denied");
        QTest::newRow("full disk") << ENOSPC << QStringLiteral("No space left on device")
                                   << QStringLiteral("the disk is full");
        QTest::newRow("read-only mount")
            << EROFS << QStringLiteral("Read-only file system") << QStringLiteral("the disk is read-only");
        QTest::newRow("no number: the system's text")
            << 0 << QStringLiteral("Input/output error") << QStringLiteral("input/output error");
    }
    void writeCauses()
    {
        QFETCH(int, error);
        QFETCH(QString, systemText);
        QFETCH(QString, cause);
        QCOMPARE(engine::writeFailureCause(error, systemText), cause);
        QCOMPARE(engine::writeFailureReason(error, systemText),
                 QStringLiteral("could not be written: ") + cause);
    }

    // The probe finds what a write would find, and leaves nothing behind where it may write.
    void folderProbe()
    {
        QTemporaryDir dir;
        QVERIFY(!engine::folderWriteProblem(dir.path()));
        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
        const Problem gone = engine::folderWriteProblem(dir.filePath(QStringLiteral("gone")));
        QCOMPARE(gone.code(), Problem::Code::CannotWrite);
        QCOMPARE(gone.words(), QStringLiteral("the folder does not exist"));

        const QString locked = folderNobodyMayWrite(dir);
        if (locked.isEmpty())
            QSKIP("no folder here refuses new files to this user");
        QCOMPARE(engine::folderWriteProblem(locked).words(), QStringLiteral("permission denied"));
        QImage image(4, 4, QImage::Format_RGB888);
        image.fill(Qt::red);
        const engine::PngWriteResult written =
            engine::writeNewPng(image, locked, QStringLiteral("/in/p.jpg"));
        QVERIFY(!written.ok());
        QCOMPARE(written.error, QStringLiteral("could not be written: permission denied"));
        QFile::setPermissions(dir.filePath(QStringLiteral("read-only")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
};

QTEST_GUILESS_MAIN(FileProblemsTest)
#include "tst_fileProblems.moc"
