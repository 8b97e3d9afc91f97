// Adds a folder of generated 1-megapixel JPEGs to a real workspace form and reports when all rows
// exist, when all thumbnails exist, and the longest time the GUI thread went without running its
// event loop. The same work done in one go on the GUI thread (walk, rows, every thumbnail) is timed
// as the reference for a window that blocks while it adds.
//
//   bench-add-folder [count=1000] [folder]   (QT_QPA_PLATFORM=offscreen for a headless run)

#include "workspace/PelmoraForm.h"
#include "workspace/folderWalk.h"
#include "workspace/thumbnail.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QTimer>

#include <cstdio>

namespace {
struct BenchTag {};
} // namespace

template <> struct PelmoraFormProbe<BenchTag> {
    PelmoraForm &form;
    void add(const QList<QUrl> &urls) { form.on_AddURLs(urls); }
    int rows() const { return form.fileModel.rowCount(); }
    bool adding() const { return form.addInProgress; }
};

namespace {

void generate(const QString &folder, int count)
{
    QDir().mkpath(folder);
    QRandomGenerator random(20261208);
    for (int i = 0; i < count; ++i) {
        const QString path = folder + QStringLiteral("/img%1.jpg").arg(i, 5, 10, QLatin1Char('0'));
        if (QFileInfo::exists(path))
            continue;
        // 1155 x 866 is one megapixel; noise keeps the JPEG decoder honest.
        QImage image(1155, 866, QImage::Format_RGB32);
        const QRgb base = random.generate();
        for (int y = 0; y < image.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = base ^ (random.generate() & 0x1f1f1f);
        }
        image.save(path, "JPG", 90);
    }
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int count = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 1000;
    QTemporaryDir scratch;
    const QString folder =
        argc > 2 ? QString::fromLocal8Bit(argv[2]) : scratch.filePath(QStringLiteral("images"));
    std::printf("generating %d images in %s\n", count, qPrintable(folder));
    generate(folder, count);

    // Keep the settings of the run away from the user's.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       scratch.filePath(QStringLiteral("settings")));
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

    // Reference: the whole add done at once on the GUI thread.
    if (!qEnvironmentVariableIsSet("BENCH_NO_REFERENCE")) {
        QElapsedTimer timer;
        timer.start();
        setThumbnailDecodeLimit();
        FolderWalk walk(folder);
        QString path;
        int decoded = 0;
        while (walk.next(&path))
            decoded += decodeThumbnail(path).image.isNull() ? 0 : 1;
        std::printf("blocking add (reference): %d thumbnails, GUI thread blocked %.0f ms\n", decoded,
                    msSince(timer));
    }

    PelmoraForm form(nullptr);
    form.resize(1508, 848);
    form.show();
    PelmoraFormProbe<BenchTag> probe{form};

    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    double longestStall = 0;
    double rowsAt = -1;
    double thumbnailsAt = -1;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const double gap = msSince(sinceTick);
        if (gap > 50 && qEnvironmentVariableIsSet("BENCH_TRACE"))
            std::printf("  stall %.0f ms ending at %.0f ms\n", gap, msSince(clock));
        longestStall = std::max(longestStall, gap);
        sinceTick.restart();
        if (rowsAt < 0 && probe.rows() >= count)
            rowsAt = msSince(clock);
        if (thumbnailsAt < 0 && !probe.adding()) {
            thumbnailsAt = msSince(clock);
            app.quit();
        }
    });

    QTimer::singleShot(100, [&] {
        clock.start();
        sinceTick.start();
        probe.add({QUrl::fromLocalFile(folder)});
        longestStall = std::max(longestStall, msSince(sinceTick));
        sinceTick.restart();
        heartbeat.start(1);
    });
    app.exec();

    std::printf("responsive add: all %d rows after %.0f ms, all thumbnails after %.0f ms, "
                "longest GUI stall %.1f ms (pool threads %d)\n",
                probe.rows(), rowsAt, thumbnailsAt, longestStall,
                QThreadPool::globalInstance()->maxThreadCount());
    return 0;
}
