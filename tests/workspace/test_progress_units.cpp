#include "workspace/batchProgress.h"
#include "workspace/engine/tilePlan.h"

#include <QTest>

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

    // A batch that starts with a tiny picture and a slow first tile, then large pictures: once a
    // tenth of the work is done, the time left is within a quarter of the truth at every tile.
    void tinyFirstPictureDoesNotSkewTheEstimate()
    {
        const QList<QSize> sizes{QSize(40, 30), QSize(2000, 1500), QSize(1800, 1200), QSize(2400, 1600)};
        constexpr int kEdge = 192;
        BatchTimeEstimate estimate(sizes, kEdge);
        // Simulated time: a tile costs its input pixels and a fixed 30 ms, and the first three more.
        struct Event {
            int picture, done, total;
            qint64 at;
        };
        QList<Event> events;
        qint64 now = 0;
        for (int p = 0; p < sizes.size(); ++p) {
            const engine::TilePlan plan = engine::planTiles(sizes.at(p), kEdge, 4);
            for (int t = 0; t < plan.tileCount(); ++t) {
                const engine::Tile tile = plan.tile(t);
                if (tile.inPicture())
                    now += 30 + qint64(tile.inputSize.width()) * tile.inputSize.height() / 200;
                // Warming up takes the first tile and slows the next two.
                const qint64 warmUp[] = {3000, 1500, 800};
                if (events.size() < 3)
                    now += warmUp[events.size()];
                events.append({p, t + 1, plan.tileCount(), now});
            }
        }
        const qint64 end = now;
        int checked = 0;
        for (int i = 0; i < events.size(); ++i) {
            const Event &event = events.at(i);
            if (event.done == 1)
                estimate.pictureStarted(event.picture, i == 0 ? 0 : events.at(i - 1).at);
            estimate.tilesDone(event.done, event.total, event.at);
            const qint64 left = estimate.remainingMs(event.at);
            if (i == 0)
                QCOMPARE(left, -1); // says it is estimating
            if (estimate.fractionDone() < 0.1 || event.at == end)
                continue;
            QVERIFY2(left >= 0, qPrintable(QString::number(estimate.fractionDone())));
            const double truth = double(end - event.at);
            QVERIFY2(std::abs(double(left) - truth) <= 0.25 * truth,
                     qPrintable(QStringLiteral("%1 left said, %2 true").arg(left).arg(truth)));
            ++checked;
        }
        QVERIFY2(checked > 50,
                 qPrintable(QString::number(checked) + QLatin1Char('/') + QString::number(events.size())));
    }

    // The writer's messages about a picture arrive after the network has started on the next one:
    // the page keeps to the picture being computed.
    void pageShowsThePictureBeingComputed()
    {
        const QString encoding = QStringLiteral("Encoding final pixels and writing to disk...");
        BatchProgressPage page;
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
        QTest::addColumn<qint64>("elapsed");
        QTest::addColumn<qint64>("remaining");
        QTest::addColumn<QString>("text");
        QTest::newRow("not yet known")
            << qint64(42000) << qint64(-1) << QStringLiteral("Elapsed 0:42 \u00b7 estimating the time left");
        QTest::newRow("minutes") << qint64(65400) << qint64(190000)
                                 << QStringLiteral("Elapsed 1:05 \u00b7 about 3:10 left");
        QTest::newRow("hours, rounded up")
            << qint64(3723000) << qint64(1) << QStringLiteral("Elapsed 1:02:03 \u00b7 about 0:01 left");
    }
    void timeText()
    {
        QFETCH(qint64, elapsed);
        QFETCH(qint64, remaining);
        QTEST(batchTimeText(elapsed, remaining), "text");
    }
};

QTEST_GUILESS_MAIN(TestProgressUnits)
#include "test_progress_units.moc"
