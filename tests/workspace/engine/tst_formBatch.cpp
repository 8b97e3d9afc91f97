#include "formProbe.h"
#include "support/browsercatcher.h"
#include "testModels.h"

#include "ui_PelmoraForm.h"
#include "widgets/ProgressPicture.h"

#include <QApplication>
#include <QBuffer>
#include <QColorSpace>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QStackedLayout>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

void setInstallFolder(const QString &folder)
{
    QSettings(QStringLiteral("Corvane"), QStringLiteral("Brivelle AI"))
        .setValue(QStringLiteral("Path"), folder);
}

QImage picture(QSize size, QImage::Format format = QImage::Format_RGB32)
{
    QImage image(size, format);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb(x * 9 % 256, y * 5 % 256, (x + y) % 256));
    return image;
}

QString save(const QImage &image, const QString &path)
{
    return image.save(path) ? path : QString();
}

QByteArray pngBytes(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A JPEG whose EXIF block holds only the orientation tag.
QByteArray jpegWithOrientation(const QImage &image, quint16 orientation)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    QByteArray tiff("II*\0\x08\0\0\0", 8);
    const char ifd[] = {1, 0, 0x12, 0x01, 3, 0, 1, 0, 0, 0, char(orientation), 0, 0, 0, 0, 0, 0, 0};
    tiff.append(ifd, sizeof ifd);
    const QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
    const int length = int(app1.size()) + 2;
    return jpeg.left(2) + QByteArray("\xff\xe1", 2) + char(length >> 8) + char(length & 0xff) + app1 +
           jpeg.mid(2);
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Set BRIVELLE_SCREENSHOT_DIR to look at the progress page and the messages the batch shows.
void screenshot(QWidget *widget, const QString &name)
{
    const QString dir = qEnvironmentVariable("BRIVELLE_SCREENSHOT_DIR");
    if (!dir.isEmpty())
        widget->grab().save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries, QDir::Name);
}

// Answers the modal dialogs the form opens: message boxes with their first standard button, folder
// dialogs by cancelling. Remembers what it saw.
class ModalAnswerer : public QObject {
public:
    ModalAnswerer()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (auto *box = qobject_cast<QMessageBox *>(modal)) {
                titles << box->windowTitle();
                texts << box->text();
                // What the progress page says behind the message.
                for (QWidget *top : QApplication::topLevelWidgets())
                    if (auto *line = top->findChild<QLabel *>(QStringLiteral("progressTimeLabel"))) {
                        timeLines << line->text();
                        auto *cancel = top->findChild<QPushButton *>(QStringLiteral("cancelButton"));
                        cancelActive << (cancel && cancel->isEnabled());
                    }
                icons << box->icon();
                screenshot(box,
                           QString::fromLatin1(QTest::currentTestFunction()) + QStringLiteral("-message"));
                box->button(box->standardButtons() & QMessageBox::Ok ? QMessageBox::Ok
                                                                     : QMessageBox::NoButton)
                    ? box->button(QMessageBox::Ok)->click()
                    : box->reject();
            } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                ++folderDialogs;
                dialog->reject();
            }
        });
        timer.start(10);
    }
    QStringList titles;
    QStringList texts;
    QStringList timeLines;
    QList<bool> cancelActive;
    QList<QMessageBox::Icon> icons;
    int folderDialogs = 0;

private:
    QTimer timer;
};

} // namespace

class FormBatchTest : public QObject {
    Q_OBJECT

    // The ISA variants of a test run side by side: each process keeps its own settings store.
    QTemporaryDir settingsHome;
    QTemporaryDir install;
    QTemporaryDir work;
    PelmoraForm *form = nullptr;
    QString in;
    QString out;
    int folderCount = 0;
    EngineProbe probe() { return EngineProbe{*form}; }

    void setFiles(const QStringList &paths)
    {
        probe().fileModel().removeRows(0, probe().fileModel().rowCount());
        for (const QString &path : paths)
            probe().fileModel().appendRow(
                {new QStandardItem(QFileInfo(path).fileName()), new QStandardItem(path)});
    }

    // Starts the batch and waits for its completion message; returns its text.
    QString runBatch(ModalAnswerer &answers)
    {
        const auto before = answers.texts.size();
        probe().clickUpscale();
        if (!QTest::qWaitFor([&] { return answers.texts.size() > before && !probe().batchRunning(); }, 20000))
            return QStringLiteral("<no message>");
        return answers.texts.last();
    }

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(settingsHome.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsHome.path());
        QVERIFY(writeTestModelPairs(install.path()));
    }
    void init()
    {
        setInstallFolder(install.path());
        // Data rows share a test function: each gets its own folders.
        const QString tag = QString::fromLatin1(QTest::currentTestFunction()) + QLatin1Char('-') +
                            QString::number(++folderCount);
        in = QDir(work.path()).filePath(tag + QStringLiteral("-in"));
        out = QDir(work.path()).filePath(tag + QStringLiteral("-out"));
        QVERIFY(QDir().mkpath(in));
        QVERIFY(QDir().mkpath(out));
        form = new PelmoraForm(nullptr);
        probe().processEngine() = 0;
        probe().upscaleValue() = 1;
        probe().outputFolder() = out;
        probe().pageStack()->setCurrentIndex(1);
    }
    void cleanup()
    {
        delete form;
        form = nullptr;
    }

    void mixedBatchSkipsAndReportsTheUnreadable()
    {
        QImage clear = picture(QSize(40, 30), QImage::Format_ARGB32);
        clear.setPixel(39, 29, qRgba(0, 0, 0, 0));
        const QStringList paths{save(clear, in + QStringLiteral("/clear.png")),
                                in + QStringLiteral("/broken.png"),
                                save(picture(QSize(50, 20)), in + QStringLiteral("/photo.jpg"))};
        QVERIFY(writeBytes(paths.at(1), "\x89PNG not really"));
        setFiles(paths);
        ModalAnswerer answers;
        const QString text = runBatch(answers);
        QCOMPARE(answers.titles.last(), QStringLiteral("Upscaling Complete"));
        QVERIFY2(text.startsWith(QStringLiteral("2 of 3 images were written.")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("broken.png")));
        QCOMPARE(entries(out), (QStringList{QStringLiteral("clear.png"), QStringLiteral("photo.png")}));
        const QImage rgba(out + QStringLiteral("/clear.png"));
        QVERIFY(rgba.hasAlphaChannel());
        QCOMPARE(rgba.size(), QSize(80, 60));
        const QImage rgb(out + QStringLiteral("/photo.png"));
        QVERIFY(!rgb.hasAlphaChannel());
        QCOMPARE(rgb.size(), QSize(100, 40));
        QCOMPARE(probe().pageStack()->currentIndex(), 1);
        // Each row tells what became of it; a written one opens its result.
        QStandardItemModel &rows = probe().fileModel();
        QVERIFY2(rows.item(0)->text().endsWith(QStringLiteral("\nWritten: clear.png, 80 x 60")),
                 qPrintable(rows.item(0)->text()));
        QVERIFY2(rows.item(1)->text().contains(QStringLiteral("\nFailed: ")),
                 qPrintable(rows.item(1)->text()));
        const QString reason = rows.item(1)->toolTip().mid(int(qstrlen("Failed: ")));
        QVERIFY2(!reason.isEmpty() && text.contains(reason), qPrintable(reason));
        QVERIFY(rows.item(2)->text().endsWith(QStringLiteral("\nWritten: photo.png, 100 x 40")));
        BrowserCatcher viewer({QStringLiteral("file")});
        emit probe().ui()->sourceTreeView->doubleClicked(rows.index(1, 0));
        emit probe().ui()->sourceTreeView->doubleClicked(rows.index(2, 0));
        QCOMPARE(viewer.opened, QList<QUrl>{QUrl::fromLocalFile(out + QStringLiteral("/photo.png"))});
        form->resize(900, 560);
        screenshot(form, QStringLiteral("row-outcomes"));
        // The window's smallest size.
        form->resize(form->minimumSizeHint().expandedTo(QSize(760, 500)));
        screenshot(form, QStringLiteral("row-outcomes-smallest"));
        // The before and after view knows each written result by its input, and nothing for the other.
        QCOMPARE(probe().batchResults().value(paths.at(0)), out + QStringLiteral("/clear.png"));
        QCOMPARE(probe().batchResults().value(paths.at(2)), out + QStringLiteral("/photo.png"));
        QVERIFY(!probe().batchResults().contains(paths.at(1)));
    }

    // The window's options of the results shape what the batch writes.
    void resultOptionsShapeTheFiles()
    {
        const QString path = save(picture(QSize(50, 20)), in + QStringLiteral("/photo.png"));
        setFiles({path});
        probe().resultOptions().format = engine::OutputFormat::Kind::Jpeg;
        probe().resultOptions().sizeForm = engine::OutputSize::Form::Width;
        probe().resultOptions().sizeValue = 70;
        probe().resultOptions().detailStrength = 0;
        ModalAnswerer answers;
        QCOMPARE(runBatch(answers), QStringLiteral("Your upscaled image is ready.\nOpen the output folder?"));
        QCOMPARE(entries(out), QStringList{QStringLiteral("photo.jpg")});
        QImageReader written(out + QStringLiteral("/photo.jpg"));
        QCOMPARE(written.format(), QByteArray("jpeg"));
        QCOMPARE(written.size(), QSize(70, 28));
    }

    void namesNeverOverwrite()
    {
        QVERIFY(QDir().mkpath(in + QStringLiteral("/b")));
        const QStringList paths{save(picture(QSize(8, 8)), in + QStringLiteral("/photo.final.jpg")),
                                save(picture(QSize(8, 8)), in + QStringLiteral("/b/photo.png")),
                                save(picture(QSize(8, 8)), out + QStringLiteral("/a.png"))};
        const QByteArray original = [&] {
            QFile f(paths.at(2));
            f.open(QIODevice::ReadOnly);
            return f.readAll();
        }();
        QVERIFY(writeBytes(out + QStringLiteral("/photo.png"), "taken"));
        setFiles(paths);
        ModalAnswerer answers;
        QCOMPARE(runBatch(answers), QStringLiteral("Your upscaled image is ready.\nOpen the output folder?"));
        QCOMPARE(entries(out), (QStringList{QStringLiteral("a(2).png"), QStringLiteral("a.png"),
                                            QStringLiteral("photo(2).png"), QStringLiteral("photo.final.png"),
                                            QStringLiteral("photo.png")}));
        QFile kept(paths.at(2));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), original);
        QFile taken(out + QStringLiteral("/photo.png"));
        QVERIFY(taken.open(QIODevice::ReadOnly));
        QCOMPARE(taken.readAll(), QByteArray("taken"));
    }

    // The second input is a pipe: the job cannot start on it until the test has pressed Cancel, so
    // the press falls before the second file whatever the machine's speed.
    void cancelFinishesTheCurrentFileOnly()
    {
        const QString pipe = in + QStringLiteral("/second.png");
        QCOMPARE(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
        setFiles({save(picture(QSize(12, 10)), in + QStringLiteral("/first.png")), pipe,
                  save(picture(QSize(8, 8)), in + QStringLiteral("/third.png"))});
        ModalAnswerer answers;
        probe().clickUpscale();
        QVERIFY(!probe().ui()->cancelButton->isHidden());
        QTRY_VERIFY(probe().ui()->progressFileLabel->text().startsWith(QStringLiteral("1 of 3: ")));
        form->resize(900, 560);
        screenshot(form, QStringLiteral("progress-page"));
        probe().clickCancel();
        QVERIFY(!probe().ui()->cancelButton->isEnabled());
        auto *times = form->findChild<QLabel *>(QStringLiteral("progressTimeLabel"));
        QVERIFY2(times->text().endsWith(QStringLiteral(" \u00b7 Stopping after this picture\u2026")),
                 qPrintable(times->text()));
        screenshot(form, QStringLiteral("progress-stopping"));
        QVERIFY(writeBytes(pipe, pngBytes(picture(QSize(12, 10)))));
        QTRY_VERIFY_WITH_TIMEOUT(!probe().batchRunning(), 20000);
        QCOMPARE(answers.texts.last(),
                 QStringLiteral("Cancelled. 1 of 3 images were written.\nOpen the output folder?"));
        QCOMPARE(answers.icons.last(), QMessageBox::Warning);
        QCOMPARE(entries(out), QStringList{QStringLiteral("first.png")});
        QVERIFY(
            probe().fileModel().item(0)->text().endsWith(QStringLiteral("\nWritten: first.png, 24 x 20")));
        QVERIFY(probe().fileModel().item(2)->text().endsWith(QStringLiteral("\nLeft out")));
        // Behind the message: the share done and the time taken, nothing left, no Cancel to press.
        QVERIFY2(QRegularExpression(QStringLiteral("^Batch \\d+% \u00b7 Elapsed \\d+:\\d\\d$"))
                     .match(answers.timeLines.last())
                     .hasMatch(),
                 qPrintable(answers.timeLines.last()));
        QVERIFY(!answers.cancelActive.last());
    }

    void oneFileHasNoCancelButton()
    {
        setFiles({save(picture(QSize(8, 8)), in + QStringLiteral("/one.png"))});
        ModalAnswerer answers;
        probe().clickUpscale();
        QVERIFY(probe().ui()->cancelButton->isHidden());
        QTRY_VERIFY_WITH_TIMEOUT(!probe().batchRunning(), 20000);
    }

    // A file-size limit makes every write fail even for root; each failure is reported and nothing
    // is left behind.
    void everyWriteFailing()
    {
        setFiles({save(picture(QSize(64, 64)), in + QStringLiteral("/w1.png")),
                  save(picture(QSize(64, 64)), in + QStringLiteral("/w2.png"))});
        ModalAnswerer answers;
        rlimit old{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old;
        limit.rlim_cur = 64;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        const QString text = runBatch(answers);
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        QVERIFY2(text.startsWith(QStringLiteral("0 of 2 images were written.")), qPrintable(text));
        QVERIFY(text.contains(QStringLiteral("w1.png")) && text.contains(QStringLiteral("w2.png")));
        QVERIFY2(text.contains(QStringLiteral("could not be written: the file would be too large")),
                 qPrintable(text));
        QVERIFY(entries(out).isEmpty());
    }

    // Refused before any work, like a missing folder, instead of a batch that saves nothing.
    void unwritableOutputFolderIsRefused()
    {
        const auto refusesNewFiles = [](const QString &folder) {
            QTemporaryFile file(folder + QStringLiteral("/probe-XXXXXX"));
            return QFileInfo(folder).isDir() && !file.open();
        };
        QVERIFY(QFile::setPermissions(out, QFile::ReadOwner | QFile::ExeOwner));
        if (!refusesNewFiles(out)) {
            QFile::setPermissions(out, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            // Folder permissions do not bind root; sysfs refuses new files to everyone.
            if (!refusesNewFiles(QStringLiteral("/sys")))
                QSKIP("no folder here refuses new files to this user");
            probe().outputFolder() = QStringLiteral("/sys");
        }
        const QString folder = probe().outputFolder();
        setFiles({save(picture(QSize(8, 8)), in + QStringLiteral("/r.png"))});
        ModalAnswerer answers;
        probe().clickUpscale();
        QFile::setPermissions(out, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(!probe().batchRunning());
        QCOMPARE(answers.texts.size(), 1);
        QCOMPARE(answers.texts.first(),
                 QStringLiteral(
                     "The upscaled images cannot be saved in the output folder (permission denied):\n") +
                     QDir::toNativeSeparators(folder) +
                     QStringLiteral("\n\nPlease choose another output folder."));
        QCOMPARE(probe().pageStack()->currentIndex(), 1);
        QVERIFY(entries(out).isEmpty());
    }

    void modelThatDoesNotLoadStopsTheStart()
    {
        QTemporaryDir empty;
        setInstallFolder(empty.path());
        setFiles({save(picture(QSize(8, 8)), in + QStringLiteral("/m.png"))});
        ModalAnswerer answers;
        probe().clickUpscale();
        QVERIFY(!probe().batchRunning());
        QCOMPARE(answers.texts.size(), 1);
        QVERIFY(answers.texts.first().contains(QStringLiteral("could not be loaded")));
        QCOMPARE(probe().pageStack()->currentIndex(), 1);
        QVERIFY(entries(out).isEmpty());
    }

    void missingOutputFolderNotChosen()
    {
        probe().outputFolder() = out + QStringLiteral("/gone");
        setFiles({save(picture(QSize(8, 8)), in + QStringLiteral("/g.png"))});
        ModalAnswerer answers;
        probe().clickUpscale();
        QCOMPARE(answers.folderDialogs, 1);
        QVERIFY(!probe().batchRunning());
        QCOMPARE(probe().pageStack()->currentIndex(), 1);
        QVERIFY(!QFileInfo::exists(out + QStringLiteral("/gone")));
    }

    void emptyListDoesNotStart()
    {
        setFiles({});
        ModalAnswerer answers;
        probe().clickUpscale();
        QVERIFY(!probe().batchRunning());
        QCOMPARE(probe().pageStack()->currentIndex(), 1);
        QCOMPARE(answers.folderDialogs, 0);
    }

    void displayName_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("256 shown whole") << 256;
        QTest::newRow("257 shortened") << 257;
    }
    void displayName()
    {
        QFETCH(int, length);
        QString folder = in;
        while (length - folder.size() > 120) {
            folder += QStringLiteral("/") + QString(100, QLatin1Char('d'));
            QVERIFY(QDir().mkpath(folder));
        }
        const QString prefix = folder + QStringLiteral("/");
        const QString path =
            prefix + QString(length - prefix.size() - 4, QLatin1Char('n')) + QStringLiteral(".png");
        QCOMPARE(path.size(), length);
        setFiles({save(picture(QSize(8, 8)), path)});
        ModalAnswerer answers;
        runBatch(answers);
        const QString shown = probe().ui()->progressFileLabel->text();
        const QString expected =
            length <= 256 ? path : path.left(127) + QStringLiteral("...") + path.right(126);
        QCOMPARE(shown, QStringLiteral("1 of 1: ") + expected);
    }

    // Closing the window (deleting the form) during a picture stops it at its next tile: the form
    // waits for its worker, which writes nothing of the picture it abandoned and starts no other.
    // A picture of many tiles that would otherwise be finished and written shows the difference.
    void closingDuringABatch()
    {
        setFiles({save(picture(QSize(2400, 2400)), in + QStringLiteral("/large.png")),
                  save(picture(QSize(12, 10)), in + QStringLiteral("/small.png"))});
        ModalAnswerer answers;
        probe().clickUpscale();
        QVERIFY(probe().batchRunning());
        QProgressBar *bar = probe().ui()->progressBar;
        // The first tile is through: the picture is in its middle.
        QTRY_VERIFY_WITH_TIMEOUT(bar->maximum() > 1 && bar->value() >= 1, 20000);
        QVERIFY(bar->value() < bar->maximum());
        delete form;
        form = nullptr;
        QCOMPARE(entries(out), QStringList{});
        QVERIFY(answers.texts.isEmpty());
        form = new PelmoraForm(nullptr);
    }

    // The progress page shows the times and fills the picture in as its tiles arrive; what it shows
    // is still there while the completion message waits for an answer.
    void progressPageShowsTimesAndTiles()
    {
        setFiles({save(picture(QSize(700, 500)), in + QStringLiteral("/tiles.png"))});
        auto *times = form->findChild<QLabel *>(QStringLiteral("progressTimeLabel"));
        auto *canvas = form->findChild<ProgressPicture *>(QStringLiteral("progressPicture"));
        QString timeText;
        QImage shown;
        // The message runs its own loop: it is looked at from a timer, like the other answers.
        QTimer look;
        connect(&look, &QTimer::timeout, this, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                timeText = times->text();
                shown = canvas->canvas();
                box->button(QMessageBox::Ok)->click();
            }
        });
        look.start(10);
        probe().clickUpscale();
        QTRY_VERIFY_WITH_TIMEOUT(!probe().batchRunning(), 20000);
        QVERIFY2(QRegularExpression(QStringLiteral("^Batch 100% \u00b7 Elapsed \\d+:\\d\\d$"))
                     .match(timeText)
                     .hasMatch(),
                 qPrintable(timeText));
        QCOMPARE(shown.size(), QSize(1400, 1000));
        // Filled in from the tiles: opaque where it started transparent.
        QCOMPARE(qAlpha(shown.pixel(700, 500)), 255);
        QCOMPARE(qAlpha(shown.pixel(1399, 999)), 255);
        QCOMPARE(entries(out), QStringList{QStringLiteral("tiles.png")});
    }

    void orientationAndColourProfileCarryOver()
    {
        QImage stored = picture(QSize(16, 8));
        const QString turned = in + QStringLiteral("/turned.jpg");
        QVERIFY(writeBytes(turned, jpegWithOrientation(stored, 6)));
        QImage tagged = picture(QSize(10, 6));
        tagged.setColorSpace(QColorSpace::AdobeRgb);
        setFiles({turned, save(tagged, in + QStringLiteral("/tagged.png"))});
        ModalAnswerer answers;
        runBatch(answers);
        QCOMPARE(QImage(out + QStringLiteral("/turned.png")).size(), QSize(16, 32));
        const QImage profiled(out + QStringLiteral("/tagged.png"));
        QCOMPARE(profiled.colorSpace(), QColorSpace(QColorSpace::AdobeRgb));
    }

    void nonAsciiPaths()
    {
        const QString inputFolder = in + QStringLiteral("/Fotos ü 写真");
        const QString outputFolder = out + QStringLiteral("/Ausgabe é");
        QVERIFY(QDir().mkpath(inputFolder));
        QVERIFY(QDir().mkpath(outputFolder));
        probe().outputFolder() = outputFolder;
        setFiles({save(picture(QSize(8, 8)), inputFolder + QStringLiteral("/Bild ß.png"))});
        ModalAnswerer answers;
        QCOMPARE(runBatch(answers), QStringLiteral("Your upscaled image is ready.\nOpen the output folder?"));
        QCOMPARE(entries(outputFolder), QStringList{QStringLiteral("Bild ß.png")});
    }
};

QTEST_MAIN(FormBatchTest)
#include "tst_formBatch.moc"
