#include "workspace/batchProgress.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/imageInput.h"
#include "workspace/engine/pngOutput.h"
#include "workspace/engine/upscaler.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

#include <condition_variable>
#include <mutex>

using engine::BatchJob;

namespace {

// A stand-in network: every pixel doubled.
engine::TileInference doubled(const QImage &tile)
{
    return engine::TileInference::ok(tile.scaled(tile.size() * 2));
}

std::shared_ptr<engine::Upscaler> standIn(engine::TileNetwork network = doubled, int tile = 32)
{
    return std::make_shared<engine::Upscaler>(std::move(network), 2, engine::Device::cpu(), tile);
}

QString writeImage(const QTemporaryDir &dir, const QString &name, QImage::Format format)
{
    QImage image(6, 4, format);
    image.fill(Qt::darkGreen);
    const QString path = dir.filePath(name);
    return image.save(path) ? path : QString();
}

QString writeBytes(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? path : QString();
}

// Shows the context each text was translated in: "context|text".
class ContextTranslator : public QTranslator {
public:
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        return QString::fromLatin1(context) + QLatin1Char('|') + QString::fromUtf8(source);
    }
    bool isEmpty() const override { return false; }
};

} // namespace

class BatchJobTest : public QObject {
    Q_OBJECT

private slots:
    void unreadableInputIsSkippedAndReported()
    {
        QTemporaryDir in;
        QTemporaryDir out;
        const QStringList paths{writeImage(in, QStringLiteral("a.png"), QImage::Format_ARGB32),
                                writeBytes(in, QStringLiteral("broken.jpg"), "not an image"),
                                writeImage(in, QStringLiteral("c.final.jpg"), QImage::Format_RGB32)};
        std::atomic<bool> cancel{false};
        BatchJob job(out.path(), standIn(), &cancel);
        QSignalSpy started(&job, &BatchJob::pictureStarted);
        QSignalSpy failed(&job, &BatchJob::fileFailed);
        QSignalSpy states(&job, &BatchJob::stateChanged);
        QSignalSpy reports(&job, &BatchJob::pictureFinished);
        job.run(paths);

        QCOMPARE(job.state(), BatchJob::State::Finished);
        QCOMPARE(states.size(), 2);
        QCOMPARE(started.size(), 3);
        QCOMPARE(started.at(1), (QVariantList{1, 3, paths.at(1)}));
        QCOMPARE(reports.size(), 3);
        const auto report = reports.at(2).at(0).value<engine::PictureReport>();
        QCOMPARE(report.status, engine::PictureReport::Status::Done);
        QCOMPARE(report.size, QSize(12, 8));
        QCOMPARE(report.output, out.filePath(QStringLiteral("c.final.png")));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), paths.at(1));
        const engine::BatchSummary &summary = job.summary();
        QCOMPARE(summary.total, 3);
        QCOMPARE(summary.written, (QStringList{out.filePath(QStringLiteral("a.png")),
                                               out.filePath(QStringLiteral("c.final.png"))}));
        QVERIFY(!summary.cancelled);
        const QString text = engine::completionText(summary);
        QVERIFY2(text.startsWith(QStringLiteral("2 of 3 images were written.")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("broken.jpg \u2013 not a readable image")), qPrintable(text));
        QVERIFY(text.endsWith(QStringLiteral("Open the output folder?")));
    }

    // A picture whose network fails writes nothing; the report says whether a later try may mend it.
    void failedUpscaleWritesNothing_data()
    {
        QTest::addColumn<engine::TileInference::Status>("status");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<bool>("transient");
        QTest::newRow("failed") << engine::TileInference::Status::Failed << QStringLiteral("tile failed")
                                << false;
        QTest::newRow("GPU lost") << engine::TileInference::Status::DeviceLost
                                  << QStringLiteral("the GPU was lost: tile failed") << true;
        QTest::newRow("out of memory")
            << engine::TileInference::Status::OutOfMemory
            << QStringLiteral("out of memory even with the smallest tiles") << true;
    }
    void failedUpscaleWritesNothing()
    {
        QFETCH(engine::TileInference::Status, status);
        QFETCH(QString, reason);
        QFETCH(bool, transient);
        QTemporaryDir in;
        QTemporaryDir out;
        std::atomic<bool> cancel{false};
        BatchJob job(out.path(), standIn([status](const QImage &) {
                         return engine::TileInference{{}, status, QStringLiteral("tile failed")};
                     }),
                     &cancel);
        QSignalSpy reports(&job, &BatchJob::pictureFinished);
        job.run({writeImage(in, QStringLiteral("x.png"), QImage::Format_RGB32)});
        QCOMPARE(job.summary().failures.size(), 1);
        QVERIFY2(job.summary().failures.at(0).reason.contains(reason),
                 qPrintable(job.summary().failures.at(0).reason));
        // The tile's outcome is the picture's: one vocabulary from the tile to the report.
        QCOMPARE(reports.at(0).at(0).value<engine::PictureReport>().status, status);
        QCOMPARE(reports.at(0).at(0).value<engine::PictureReport>().transient, transient);
        QVERIFY(QDir(out.path()).isEmpty());
    }

    // The current file is finished and written; the next one is not started, and the message says
    // the batch was cancelled rather than done.
    void cancelStopsBeforeTheNextFile()
    {
        QTemporaryDir in;
        QTemporaryDir out;
        QStringList paths;
        for (int i = 0; i < 3; ++i)
            paths << writeImage(in, QStringLiteral("p%1.png").arg(i), QImage::Format_RGB32);
        std::atomic<bool> cancel{false};
        int calls = 0;
        BatchJob job(out.path(), standIn([&](const QImage &tile) {
                         ++calls;
                         cancel = true;
                         return doubled(tile);
                     }),
                     &cancel);
        job.run(paths);
        QCOMPARE(calls, 1);
        QCOMPARE(job.summary().written.size(), 1);
        QVERIFY(job.summary().cancelled);
        QCOMPARE(engine::completionText(job.summary()),
                 QStringLiteral("Cancelled. 1 of 3 images were written.\nOpen the output folder?"));
    }

    // A stop abandons the picture in the middle: nothing of it is written, and the pictures after it
    // are not started but still reported.
    void stopWritesNothing()
    {
        QTemporaryDir in;
        QTemporaryDir out;
        QImage big(100, 30, QImage::Format_RGB32);
        big.fill(Qt::red);
        const QStringList paths{in.filePath(QStringLiteral("big.png")),
                                writeImage(in, QStringLiteral("next.png"), QImage::Format_RGB32)};
        QVERIFY(big.save(paths.at(0)));
        std::atomic<bool> cancel{false};
        BatchJob *stopping = nullptr;
        int calls = 0;
        BatchJob job(out.path(), standIn([&](const QImage &tile) {
                         if (++calls == 2)
                             stopping->requestStop();
                         return doubled(tile);
                     }),
                     &cancel);
        stopping = &job;
        QSignalSpy progress(&job, &BatchJob::tileProgress);
        QSignalSpy tiles(&job, &BatchJob::tileFinished);
        QSignalSpy reports(&job, &BatchJob::pictureFinished);
        job.run(paths);
        QCOMPARE(calls, 2);
        QVERIFY(QDir(out.path()).isEmpty());
        QVERIFY(job.summary().cancelled);
        QVERIFY(job.summary().failures.isEmpty());
        QCOMPARE(reports.size(), 2);
        QCOMPARE(reports.at(0).at(0).value<engine::PictureReport>().status,
                 engine::PictureReport::Status::Cancelled);
        QCOMPARE(reports.at(1).at(0).value<engine::PictureReport>().status,
                 engine::PictureReport::Status::NotStarted);
        // 100 wide at edge 32: four tiles in a row, the two done were reported with their pixels.
        QCOMPARE(progress.size(), 3);
        QCOMPARE(progress.at(0), (QVariantList{0, 4}));
        QCOMPARE(progress.at(2), (QVariantList{2, 4}));
        QCOMPARE(tiles.size(), 2);
        QCOMPARE(tiles.at(1).at(1).toRect(), QRect(64, 0, 64, 60));
        const QImage second = tiles.at(1).at(0).value<QImage>();
        QCOMPARE(second.size(), QSize(64, 60));
        QCOMPARE(second.pixel(5, 5), qRgb(255, 0, 0));
    }

    // Decoding runs ahead of the network and writing behind it, through queues of a few pictures:
    // while the writer is held on the first picture, the job fills its queues and then waits, so no
    // picture is decoded that the bound does not allow. Results come out in list order.
    void pipelineKeepsOrderAndBound()
    {
        QTemporaryDir in;
        QTemporaryDir out;
        QStringList paths;
        for (int i = 0; i < 10; ++i)
            paths << writeImage(in, QStringLiteral("p%1.png").arg(i), QImage::Format_RGB32);
        // Held at the writer: picture 0; the writer's queue: 1; the network: 2; the decoder's queue
        // and the one the decoder holds: the rest of the bound.
        const int bound = 1 + BatchJob::kWaitingToWrite + 1 + BatchJob::kDecodedAhead + 1;

        std::mutex mutex;
        std::condition_variable changed;
        int loads = 0;
        int writesDone = 0;
        int worstAhead = 0;
        QStringList loadOrder;
        QStringList writeOrder;
        // Library messages printed while a picture decodes ahead, or is written behind, go with it.
        QStringList mistagged;
        auto checkTag = [&](const QString &path) {
            if (BatchJob::pictureOfThisThread() != paths.indexOf(path))
                mistagged << QStringLiteral("%1 tagged %2").arg(path).arg(BatchJob::pictureOfThisThread());
        };
        std::atomic<bool> cancel{false};
        BatchJob job(out.path(), standIn(), &cancel);
        BatchJob::Stages stages;
        stages.load = [&](const QString &path) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                worstAhead = std::max(worstAhead, ++loads - writesDone);
                loadOrder << path;
                checkTag(path);
            }
            changed.notify_all();
            return engine::loadInputImage(path);
        };
        stages.write = [&](const engine::PictureToWrite &picture) {
            std::unique_lock<std::mutex> lock(mutex);
            if (writesDone == 0)
                changed.wait_for(lock, std::chrono::seconds(20), [&] { return loads >= bound; });
            writeOrder << picture.inputPath;
            checkTag(picture.inputPath);
            lock.unlock();
            const engine::WriteResult written = engine::writeNewPicture(picture);
            lock.lock();
            ++writesDone;
            return written;
        };
        job.setStages(stages);
        job.run(paths);

        QCOMPARE(loadOrder, paths);
        QCOMPARE(writeOrder, paths);
        QCOMPARE(mistagged, QStringList());
        QCOMPARE(worstAhead, bound);
        QCOMPARE(job.summary().written.size(), 10);
        QCOMPARE(job.summary().written.first(), out.filePath(QStringLiteral("p0.png")));
        QCOMPARE(job.summary().written.last(), out.filePath(QStringLiteral("p9.png")));
    }

    // The progress page fed by a running batch, in the order the job's threads send: the writer's
    // status for a picture never shows once the network is on the next one, and the bar is never
    // full while the network works.
    void progressPageFollowsTheNetwork()
    {
        QTemporaryDir in;
        QTemporaryDir out;
        QStringList paths;
        for (int i = 0; i < 6; ++i)
            paths << writeImage(in, QStringLiteral("p%1.png").arg(i), QImage::Format_RGB32);
        std::mutex mutex;
        PictureInProgress page;
        int networkOn = -1;
        QStringList wrong;
        auto check = [&] {
            if (page.statusText().startsWith(QStringLiteral("Encoding")) && networkOn == page.picture())
                wrong << QStringLiteral("encoding shown while the network works on %1").arg(networkOn);
            if (networkOn == page.picture() && page.barMaximum() > 0 && page.barValue() == page.barMaximum())
                wrong << QStringLiteral("full bar while the network works on %1").arg(networkOn);
        };
        BatchJob job(out.path(), standIn(
                                     [&](const QImage &tile) {
                                         std::lock_guard<std::mutex> lock(mutex);
                                         networkOn = page.picture();
                                         check();
                                         return doubled(tile);
                                     },
                                     16));
        const auto direct = Qt::DirectConnection;
        connect(
            &job, &BatchJob::pictureStarted, this,
            [&](int index, int total, const QString &path) {
                std::lock_guard<std::mutex> lock(mutex);
                page.pictureStarted(index, total, path);
            },
            direct);
        connect(
            &job, &BatchJob::tileProgress, this,
            [&](int done, int total) {
                std::lock_guard<std::mutex> lock(mutex);
                networkOn = done < total ? page.picture() : -1;
                page.tileProgress(done, total);
            },
            direct);
        connect(
            &job, &BatchJob::statusChanged, this,
            [&](int index, const QString &text) {
                std::lock_guard<std::mutex> lock(mutex);
                page.statusChanged(index, text);
                check();
            },
            direct);
        connect(
            &job, &BatchJob::pictureFinished, this,
            [&](const engine::PictureReport &report) {
                std::lock_guard<std::mutex> lock(mutex);
                page.pictureFinished(report.index);
                check();
            },
            direct);
        job.run(paths);
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(QLatin1Char('\n'))));
        QCOMPARE(page.fileText(), QStringLiteral("6 of 6: ") + paths.last());
        QCOMPARE(job.summary().written.size(), 6);
    }

    void allGoodGivesTheUsualMessage()
    {
        engine::BatchSummary summary;
        summary.total = 2;
        summary.written = QStringList{QStringLiteral("/o/a.png"), QStringLiteral("/o/b.png")};
        QCOMPARE(engine::completionText(summary),
                 QStringLiteral("Your upscaled image is ready.\nOpen the output folder?"));
    }

    void cancelledWithFailuresNamesThem()
    {
        engine::BatchSummary summary;
        summary.total = 7;
        summary.cancelled = true;
        summary.written = QStringList{QStringLiteral("/o/a.png")};
        summary.failures.append(
            {QStringLiteral("/in/cut.jpg"), QStringLiteral("damaged image: only partly decoded")});
        QCOMPARE(
            engine::completionText(summary),
            QStringLiteral("Cancelled. 1 of 7 images were written.\n\nThese files could not be upscaled:\n"
                           "cut.jpg \u2013 damaged image: only partly decoded\n\nOpen the output folder?"));
    }

    void longFailureListIsShortened()
    {
        engine::BatchSummary summary;
        summary.total = 25;
        for (int i = 0; i < 25; ++i)
            summary.failures.append({QStringLiteral("/in/f%1.png").arg(i), QStringLiteral("x")});
        const QString text = engine::completionText(summary);
        QVERIFY(text.startsWith(QStringLiteral("0 of 25 images were written.")));
        QVERIFY(text.contains(QStringLiteral("f9.png")));
        QVERIFY(!text.contains(QStringLiteral("f10.png")));
        QVERIFY(text.contains(QStringLiteral("and 15 more")));
    }

    // The window's own texts keep its context; the engine's words are translated without the window.
    void textsAreTranslatedInTheirOwnContext()
    {
        ContextTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        engine::BatchSummary summary;
        summary.total = 2;
        const QString allGood = engine::completionText(summary);
        summary.cancelled = true;
        const QString cancelled = engine::completionText(summary);
        const QString problem = engine::describe(engine::InputProblem::NotAnImage);
        QCoreApplication::removeTranslator(&translator);
        QCOMPARE(
            allGood,
            QStringLiteral("PelmoraForm|Your upscaled image is ready.\nPelmoraForm|Open the output folder?"));
        QCOMPARE(cancelled,
                 QStringLiteral("engine|Cancelled. engine|0 of 2 images were written.\nPelmoraForm|Open "
                                "the output folder?"));
        QCOMPARE(problem, QStringLiteral("engine|not a readable image"));
    }
};

QTEST_GUILESS_MAIN(BatchJobTest)
#include "tst_batchJob.moc"
