#include "workspace/engine/batchJob.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using engine::BatchJob;

namespace {

QImage doubled(const QImage &image, QString *)
{
    return image.scaled(image.size() * 2);
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
        BatchJob job(out.path(), doubled, cancel);
        QSignalSpy started(&job, &BatchJob::fileStarted);
        QSignalSpy failed(&job, &BatchJob::fileFailed);
        QSignalSpy states(&job, &BatchJob::stateChanged);
        job.run(paths);

        QCOMPARE(job.state(), BatchJob::State::Finished);
        QCOMPARE(states.size(), 2);
        QCOMPARE(started.size(), 3);
        QCOMPARE(started.at(1).at(0).toString(), QStringLiteral("2 of 3: ") + paths.at(1));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), paths.at(1));
        const engine::BatchSummary &summary = job.summary();
        QCOMPARE(summary.total, 3);
        QCOMPARE(summary.written,
                 (QStringList{out.filePath(QStringLiteral("a.png")), out.filePath(QStringLiteral("c.png"))}));
        QVERIFY(!summary.cancelled);
        const QString text = engine::completionText(summary);
        QVERIFY2(text.startsWith(QStringLiteral("2 of 3 images were written.")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("broken.jpg \u2013 not a readable image")), qPrintable(text));
        QVERIFY(text.endsWith(QStringLiteral("Open the output folder?")));
    }

    void failedUpscaleWritesNothing()
    {
        QTemporaryDir in;
        QTemporaryDir out;
        std::atomic<bool> cancel{false};
        BatchJob job(
            out.path(),
            [](const QImage &, QString *error) {
                *error = QStringLiteral("tile failed");
                return QImage();
            },
            cancel);
        job.run({writeImage(in, QStringLiteral("x.png"), QImage::Format_RGB32)});
        QCOMPARE(job.summary().failures.size(), 1);
        QCOMPARE(job.summary().failures.at(0).reason, QStringLiteral("tile failed"));
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
        BatchJob job(
            out.path(),
            [&](const QImage &image, QString *error) {
                ++calls;
                cancel = true;
                return doubled(image, error);
            },
            cancel);
        job.run(paths);
        QCOMPARE(calls, 1);
        QCOMPARE(job.summary().written.size(), 1);
        QVERIFY(job.summary().cancelled);
        QCOMPARE(engine::completionText(job.summary()),
                 QStringLiteral("Cancelled. 1 of 3 images were written.\nOpen the output folder?"));
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
        summary.failures.append({QStringLiteral("/in/cut.jpg"), QStringLiteral("damaged image: only partly decoded")});
        QCOMPARE(engine::completionText(summary),
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
};

QTEST_GUILESS_MAIN(BatchJobTest)
#include "tst_batchJob.moc"
