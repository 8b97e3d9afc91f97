#include "workspace/batchProgress.h"
#include "workspace/engine/layerTimeProfile.h"
#include "workspace/engine/tilePlan.h"

#include <QFile>
#include <QTest>

#include <cmath>

Q_DECLARE_METATYPE(BatchPhase)

namespace {

struct Event {
    int picture = 0;
    double done = 0;
    int total = 0;
    qint64 at = 0;
    bool starts = false;
};

struct Replay {
    QList<QSize> sizes;
    int edge = 0;
    int multiple = 1;
    QList<Event> events;
    qint64 end = 0; // when the last picture was written
};

Replay modelledBatch(const QList<QSize> &sizes, int edge, bool withinTiles, qint64 warmUpMs, qint64 decodeMs,
                     int pixelsPerMs)
{
    Replay replay{sizes, edge, 1, {}, 0};
    qint64 now = 0;
    int tileNumber = 0;
    for (int p = 0; p < sizes.size(); ++p) {
        now += decodeMs;
        replay.events.append({p, 0, 0, now, true});
        const engine::TilePlan plan = engine::planTiles(sizes.at(p), edge, 4);
        for (int t = 0; t < plan.tileCount(); ++t) {
            const engine::Tile tile = plan.tile(t);
            if (!tile.inPicture()) {
                replay.events.append({p, double(t + 1), plan.tileCount(), now});
                continue;
            }
            // (1 - 0.1 .. 1 + 0.1) of the tile's cost, the same on every run.
            const double jitter = 1 + 0.1 * std::sin(1.7 * ++tileNumber);
            const double cost =
                jitter * (30 + double(tile.inputSize.width()) * tile.inputSize.height() / pixelsPerMs);
            // The next two tiles are still slow after the warm-up, by up to a quarter and an eighth.
            const double slow = tileNumber == 2   ? std::min(1500.0, cost / 4)
                                : tileNumber == 3 ? std::min(800.0, cost / 8)
                                                  : 0;
            if (tileNumber == 1)
                now += warmUpMs;
            const qint64 begin = now;
            for (int percent = 1; withinTiles && percent < 100; ++percent)
                replay.events.append({p, t + percent / 100.0, plan.tileCount(),
                                      begin + qint64((cost + slow) * percent / 100)});
            now = begin + qint64(cost + slow);
            replay.events.append({p, double(t + 1), plan.tileCount(), now});
        }
    }
    replay.end = now;
    return replay;
}

// The lines brivelle_engine_bench trace writes: "size W H" per picture, "tile EDGE MULTIPLE", then
// "<ms> start <index>", "<ms> tiles <done> <total>" and "<ms> end".
Replay recordedBatch(const QString &file)
{
    Replay replay;
    QFile in(QFINDTESTDATA(QStringLiteral("data/") + file));
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text))
        qFatal("cannot read the recording %s", qPrintable(file));
    int picture = -1;
    while (!in.atEnd()) {
        const QList<QByteArray> word = in.readLine().simplified().split(' ');
        if (word.size() == 3 && word.at(0) == "size")
            replay.sizes << QSize(word.at(1).toInt(), word.at(2).toInt());
        else if (word.size() == 3 && word.at(0) == "tile")
            replay = Replay{replay.sizes, word.at(1).toInt(), word.at(2).toInt(), {}, 0};
        else if (word.size() == 3 && word.at(1) == "start")
            replay.events.append({picture = word.at(2).toInt(), 0, 0, word.at(0).toLongLong(), true});
        else if (word.size() == 4 && word.at(1) == "tiles")
            replay.events.append(
                {picture, word.at(2).toDouble(), word.at(3).toInt(), word.at(0).toLongLong()});
        else if (word.size() == 2 && word.at(1) == "end")
            replay.end = word.at(0).toLongLong();
    }
    if (replay.sizes.isEmpty() || replay.end <= 0)
        qFatal("the recording %s is incomplete", qPrintable(file));
    return replay;
}

} // namespace

class TestProgressUnits : public QObject {
    Q_OBJECT

private slots:
    // Two equal pictures of one tile each: the rate is measured from the end of the first tile.
    void estimateFollowsTheMeasuredRate()
    {
        BatchTimeEstimate estimate({QSize(100, 100), QSize(100, 100), QSize(100, 100), QSize(100, 100)});
        QCOMPARE(estimate.remainingMs(5000), -1); // nothing measured yet
        estimate.pictureStarted(0, 0);
        estimate.tilesDone(1, 1, 9000); // the warm-up: not a rate
        QCOMPARE(estimate.remainingMs(9000), -1);
        estimate.pictureStarted(1, 9000);
        estimate.tilesDone(1, 1, 11000);
        QCOMPARE(estimate.remainingMs(11000), -1); // one tile since the first is not enough
        estimate.pictureStarted(2, 11000);
        estimate.tilesDone(1, 1, 13000);
        QCOMPARE(estimate.fractionDone(), 0.75);
        QCOMPARE(estimate.remainingMs(13000), 2000);
        QCOMPARE(estimate.remainingMs(13500), 1500);
    }

    // Replayed tile timings, modelled or recorded. Modelled: a tile costs its input pixels and a fixed
    // 30 ms, give or take a tenth from tile to tile; reports come at the end of every tile, or also
    // after every percent of the network's layers, as a loaded network gives them. Recorded: the
    // reports of real batches (brivelle_engine_bench trace, on a machine doing nothing else). Once a
    // tenth of the work is done, the time left is within a quarter of the truth at every moment
    // (sampled each 50 ms) to the end.
    void estimateStaysWithinAQuarter_data()
    {
        QTest::addColumn<QString>("recording"); // a file of data/, or empty for a modelled batch
        QTest::addColumn<QList<QSize>>("sizes");
        QTest::addColumn<int>("edge");
        QTest::addColumn<bool>("withinTiles");
        QTest::addColumn<qint64>("warmUpMs"); // before the first report, when the plan is compiled
        QTest::addColumn<qint64>("decodeMs"); // waiting for each picture's decoder
        QTest::addColumn<int>("pixelsPerMs"); // the network's speed: a fast one, or x4plus on a CPU
        const QList<QSize> mixed{QSize(40, 30), QSize(2000, 1500), QSize(1800, 1200), QSize(2400, 1600)};
        QTest::newRow("mixed sizes, tile ends only")
            << QString() << mixed << 192 << false << qint64(3000) << qint64(0) << 200;
        QTest::newRow("mixed sizes, within tiles")
            << QString() << mixed << 192 << true << qint64(3000) << qint64(40) << 200;
        QTest::newRow("one tile each, within tiles")
            << QString() << QList<QSize>{QSize(300, 200), QSize(280, 280), QSize(360, 240), QSize(320, 320)}
            << 400 << true << qint64(900) << qint64(60) << 11;
        QTest::newRow("many one-tile pictures, within tiles")
            << QString() << QList<QSize>(12, QSize(250, 180)) + QList<QSize>{QSize(400, 300)} << 400 << true
            << qint64(600) << qint64(20) << 40;
        for (const char *file : {"mixed-x4fast.trace", "one-tile-x4plus.trace", "one-tile-x4fast.trace"})
            QTest::newRow(file) << QString::fromLatin1(file) << QList<QSize>() << 0 << true << qint64(0)
                                << qint64(0) << 0;
    }
    void estimateStaysWithinAQuarter()
    {
        QFETCH(QString, recording);
        QFETCH(QList<QSize>, sizes);
        QFETCH(int, edge);
        QFETCH(bool, withinTiles);
        QFETCH(qint64, warmUpMs);
        QFETCH(qint64, decodeMs);
        QFETCH(int, pixelsPerMs);
        const Replay replay = recording.isEmpty()
                                  ? modelledBatch(sizes, edge, withinTiles, warmUpMs, decodeMs, pixelsPerMs)
                                  : recordedBatch(recording);
        BatchTimeEstimate estimate(replay.sizes, replay.edge, replay.multiple);
        QCOMPARE(estimate.remainingMs(0), -1);
        double worst = 0;
        int checked = 0;
        int next = 0;
        for (qint64 at = 0; at < replay.end; at += 50) {
            for (; next < replay.events.size() && replay.events.at(next).at <= at; ++next) {
                const Event &event = replay.events.at(next);
                if (event.starts)
                    estimate.pictureStarted(event.picture, event.at);
                else
                    estimate.tilesDone(event.done, event.total, event.at);
            }
            if (estimate.fractionDone() < 0.1)
                continue;
            const qint64 left = estimate.remainingMs(at);
            QVERIFY2(left >= 0, qPrintable(QString::number(estimate.fractionDone())));
            const double truth = double(replay.end - at);
            const double error = (double(left) - truth) / truth;
            // The last second is judged by the second: "about 0:01 left".
            if (truth > 1000)
                worst = std::abs(error) > std::abs(worst) ? error : worst;
            QVERIFY2(truth <= 1000 ? std::abs(double(left) - truth) <= 1000 : std::abs(error) <= 0.25,
                     qPrintable(QStringLiteral("at %1 of %2: %3 left said, %4 true")
                                    .arg(at)
                                    .arg(replay.end)
                                    .arg(left)
                                    .arg(truth)));
            ++checked;
        }
        QVERIFY(checked > 20);
        qInfo("worst error %+.0f%% over %d samples", worst * 100, checked);
    }

    // The layers of an enlarging network are not equal: in the tile measured, the first nine tenths
    // of them took a tenth of its time. The next tile's layers are read through that.
    void layerShareBecomesTimeShare()
    {
        engine::LayerTimeProfile profile;
        QCOMPARE(profile.layersDone(0.5, 0), 0.5); // nothing learnt yet
        profile.tileStarted(1000);
        for (int p = 1; p <= 100; ++p)
            profile.layersDone(p / 100.0, 1000 + (p <= 90 ? p * 10 : 900 + (p - 90) * 810));
        profile.tileFinished(1000 + 9000);
        // A tile of a stand-in reports no layers and teaches nothing.
        profile.tileStarted(15000);
        profile.tileFinished(16000);
        profile.tileStarted(20000);
        QVERIFY(std::abs(profile.layersDone(0.45, 20100) - 0.05) < 0.01);
        QVERIFY(std::abs(profile.layersDone(0.9, 20200) - 0.1) < 0.01);
        QVERIFY(std::abs(profile.layersDone(0.95, 20300) - 0.55) < 0.01);
        QCOMPARE(profile.layersDone(1.0, 20400), 1.0);
    }

    // The writer's messages about a picture arrive after the network has started on the next one:
    // the page keeps to the picture being computed.
    void pageShowsThePictureBeingComputed()
    {
        const QString encoding = QStringLiteral("Encoding final pixels and writing to disk...");
        PictureInProgress page;
        page.pictureStarted(0, 2, QStringLiteral("/in/a.png"));
        QCOMPARE(page.barMaximum(), 0); // busy until the plan is known
        page.tileProgress(0, 4);
        page.statusChanged(0, QStringLiteral("Processing Tile (0, 0)"));
        page.tileProgress(4, 4);
        page.pictureStarted(1, 2, QStringLiteral("/in/b.png"));
        page.statusChanged(0, encoding);
        page.pictureFinished(0);
        QCOMPARE(page.fileText(), QStringLiteral("2 of 2: /in/b.png"));
        QCOMPARE(page.statusText(), QString());
        QCOMPARE(page.barMaximum(), 0);
        page.tileProgress(0, 9);
        page.statusChanged(1, QStringLiteral("Processing Tile (0, 0)"));
        QCOMPARE(page.statusText(), QStringLiteral("Processing Tile (0, 0)"));
        QCOMPARE(page.barValue(), 0);
        page.tileProgress(9, 9);
        page.statusChanged(1, encoding);
        QCOMPARE(page.statusText(), encoding);
        page.pictureFinished(1);
        QCOMPARE(page.statusText(), QString());
        QCOMPARE(page.barValue(), 9);
    }

    void timeText_data()
    {
        QTest::addColumn<double>("fraction");
        QTest::addColumn<qint64>("elapsed");
        QTest::addColumn<qint64>("remaining");
        QTest::addColumn<BatchPhase>("phase");
        QTest::addColumn<QString>("text");
        QTest::newRow("not yet known")
            << 0.0 << qint64(42000) << qint64(-1) << BatchPhase::Running
            << QStringLiteral("Batch 0% \u00b7 Elapsed 0:42 \u00b7 estimating the time left");
        QTest::newRow("minutes") << 0.374 << qint64(65400) << qint64(190000) << BatchPhase::Running
                                 << QStringLiteral("Batch 37% \u00b7 Elapsed 1:05 \u00b7 about 3:10 left");
        QTest::newRow("hours, rounded up")
            << 0.9999 << qint64(3723000) << qint64(1) << BatchPhase::Running
            << QStringLiteral("Batch 99% \u00b7 Elapsed 1:02:03 \u00b7 about 0:01 left");
        // After Cancel the picture under way is finished; no time left is promised.
        QTest::newRow("stopping")
            << 0.62 << qint64(31000) << qint64(7000) << BatchPhase::Stopping
            << QStringLiteral("Batch 62% \u00b7 Elapsed 0:31 \u00b7 Stopping after this picture\u2026");
        QTest::newRow("finished") << 1.0 << qint64(48000) << qint64(0) << BatchPhase::Finished
                                  << QStringLiteral("Batch 100% \u00b7 Elapsed 0:48");
        QTest::newRow("finished after a cancel")
            << 0.7 << qint64(36000) << qint64(5000) << BatchPhase::Finished
            << QStringLiteral("Batch 70% \u00b7 Elapsed 0:36");
    }
    void timeText()
    {
        QFETCH(double, fraction);
        QFETCH(qint64, elapsed);
        QFETCH(qint64, remaining);
        QFETCH(BatchPhase, phase);
        QTEST(batchTimeText(fraction, elapsed, remaining, phase), "text");
    }
};

QTEST_GUILESS_MAIN(TestProgressUnits)
#include "test_progress_units.moc"
