#include "workspace/batchProgress.h"

#include <QTest>

class TestProgressUnits : public QObject {
    Q_OBJECT

private slots:
    // Two equal pictures: half of the first done after 10 s leaves 30 s.
    void estimateFollowsTheTilesDone()
    {
        BatchTimeEstimate estimate({QSize(100, 100), QSize(100, 100)});
        QCOMPARE(estimate.remainingMs(5000), -1); // nothing measured yet
        estimate.pictureStarted(0);
        QCOMPARE(estimate.remainingMs(5000), -1);
        estimate.tilesDone(2, 4);
        QCOMPARE(estimate.remainingMs(10000), 30000);
        estimate.pictureStarted(1);
        QCOMPARE(estimate.fractionDone(), 0.5);
        estimate.tilesDone(4, 4);
        QCOMPARE(estimate.remainingMs(41000), 0);
    }

    // The tiles to come weigh by the pixels of their pictures; an unreadable header weighs the average.
    void laterPicturesWeighByTheirSize()
    {
        BatchTimeEstimate estimate({QSize(100, 100), QSize(300, 100), QSize()});
        estimate.pictureStarted(0);
        estimate.tilesDone(1, 1);
        // 1 of 1 + 3 + 2 parts done in 6 s: 1 s a part, 5 parts to come.
        QCOMPARE(estimate.remainingMs(6000), 30000);
        // A picture skipped without tiles still counts as done.
        estimate.pictureStarted(2);
        QCOMPARE(estimate.remainingMs(8000), 4000);
    }

    void timeText_data()
    {
        QTest::addColumn<qint64>("elapsed");
        QTest::addColumn<qint64>("remaining");
        QTest::addColumn<QString>("text");
        QTest::newRow("not yet known") << qint64(42000) << qint64(-1) << QStringLiteral("Elapsed 0:42");
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
