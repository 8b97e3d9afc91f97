#include "formTestSupport.h"
#include "workspace/PelmoraForm.h"

#include <QLabel>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QScrollArea>
#include <QStackedLayout>
#include <QTemporaryDir>
#include <QTest>

namespace {
struct PreviewTag {};
} // namespace

template <> struct PelmoraFormProbe<PreviewTag> {
    PelmoraForm &form;

    void request(const QString &path) { form.loadImage(path); }
    void tick() { form.on_updateTimer(); }
    void showWorkPage() { form.pageStack->setCurrentIndex(1); }
    int renders() const { return form.previewRendersStarted; }
    int countdown() const { return form.previewCountdown; }
    bool timerActive() const { return form.previewTimer.isActive(); }
    // What a batch reports for a picture it wrote.
    void resultWritten(const QString &input, const QString &output)
    {
        form.batchResults.insert(input, output);
    }
    int comparisonsDropped() const { return form.comparisonsDropped; }
};
using Probe = PelmoraFormProbe<PreviewTag>;

class TestPreviewForm : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    static QLabel *label(PelmoraForm &form) { return form.findChild<QLabel *>(QStringLiteral("orgLabel")); }
    static QScrollArea *area(PelmoraForm &form)
    {
        return form.findChild<QScrollArea *>(QStringLiteral("scrollArea"));
    }
    static bool hasPicture(PelmoraForm &form) { return !label(form)->pixmap().isNull(); }
    // The picture is seen whole and fills the width or the height it can take, less a small
    // allowance for margins and frames.
    static bool fitsArea(PelmoraForm &form)
    {
        QWidget *viewport = area(form)->viewport();
        const QRect labelRect(label(form)->mapTo(viewport, QPoint(0, 0)), label(form)->size());
        const QSize picture = label(form)->pixmap().size();
        return viewport->rect().contains(labelRect) &&
               (picture.height() >= viewport->height() - 30 || picture.width() >= viewport->width() - 30);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        isolateSettings(dir.filePath(QStringLiteral("settings")));
    }

    // Requests that follow each other closer than the countdown end in one render of the last one.
    void burstCollapsesIntoOneRender()
    {
        PelmoraForm form(nullptr);
        form.resize(1200, 700);
        Probe probe{form};
        probe.showWorkPage();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const int rendersBefore = probe.renders();

        QStringList files;
        for (int i = 0; i < 5; ++i)
            files << writeTestImage(dir.filePath(QStringLiteral("burst%1.png").arg(i)), 100 + 100 * i, 100);
        for (const QString &file : files) {
            probe.request(file);
            // Four ticks pass between requests: never enough to reach the render.
            for (int t = 0; t < 4; ++t)
                probe.tick();
        }
        QCOMPARE(probe.renders(), rendersBefore);
        QTRY_COMPARE(probe.renders(), rendersBefore + 1);
        QTRY_VERIFY(hasPicture(form));
        QVERIFY(!probe.timerActive());
        const QSize picture = label(form)->pixmap().size();
        // The last picture's proportions, within a pixel of rounding.
        QVERIFY2(qAbs(picture.width() - 5 * picture.height()) < 5,
                 qPrintable(QString::number(picture.width())));
        QTRY_VERIFY(fitsArea(form));
        QCOMPARE(probe.renders(), rendersBefore + 1);
    }

    void resizeDoesNotPostponeAPendingRender()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.request(writeTestImage(dir.filePath(QStringLiteral("r.png")), 50, 50));
        probe.tick();
        probe.tick();
        QCOMPARE(probe.countdown(), 3);
        QResizeEvent resize(QSize(300, 200), QSize(200, 200));
        QCoreApplication::sendEvent(area(form), &resize);
        QCOMPARE(probe.countdown(), 3);
        QVERIFY(probe.timerActive());
    }

    void resizeWhileIdleRendersAgain()
    {
        PelmoraForm form(nullptr);
        form.resize(1000, 600);
        Probe probe{form};
        probe.showWorkPage();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        probe.request(writeTestImage(dir.filePath(QStringLiteral("again.png")), 200, 100));
        QTRY_VERIFY(hasPicture(form));
        QTRY_VERIFY(!probe.timerActive());
        const int renders = probe.renders();

        form.resize(1000, 400);
        QTRY_COMPARE(probe.renders(), renders + 1);
        QTRY_VERIFY(fitsArea(form));
    }

    // A row with a result shows it right of a divider that the pointer moves and the source left of
    // it; the key shows one whole, then the other. A row without one shows its plain picture again.
    void resultBesideItsSource_data()
    {
        QTest::addColumn<QString>("toggle"); // "key": the key; "drag": the divider dragged to the right edge
        QTest::newRow("divider dragged") << "drag";
        QTest::newRow("key toggles") << "key";
    }
    void resultBesideItsSource()
    {
        QFETCH(QString, toggle);
        PelmoraForm form(nullptr);
        form.resize(1000, 600);
        Probe probe{form};
        probe.showWorkPage();
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        const QString source = writeTestImage(dir.filePath(QStringLiteral("cmp.png")), 100, 50, Qt::red);
        probe.resultWritten(source,
                            writeTestImage(dir.filePath(QStringLiteral("cmp-x4.png")), 400, 200, Qt::blue));
        probe.request(source);
        QTRY_VERIFY(hasPicture(form));
        QTRY_VERIFY(fitsArea(form));
        const auto colourAt = [&](double fraction) {
            const QImage shown = label(form)->pixmap().toImage();
            return shown.pixelColor(qBound(0, qRound(shown.width() * fraction), shown.width() - 1),
                                    shown.height() / 4);
        };
        QCOMPARE(colourAt(0.25), QColor(Qt::red));
        QCOMPARE(colourAt(0.75), QColor(Qt::blue));
        QVERIFY(!label(form)->toolTip().isEmpty());

        if (toggle == QLatin1String("drag")) {
            const int y = label(form)->height() / 4;
            QTest::mousePress(label(form), Qt::LeftButton, {}, QPoint(label(form)->width() / 2, y));
            QMouseEvent move(QEvent::MouseMove, QPointF(label(form)->width() - 1, y),
                             label(form)->mapToGlobal(QPointF(label(form)->width() - 1, y)), Qt::NoButton,
                             Qt::LeftButton, Qt::NoModifier);
            QCoreApplication::sendEvent(label(form), &move);
            QTest::mouseRelease(label(form), Qt::LeftButton, {}, QPoint(label(form)->width() - 1, y));
            QCOMPARE(colourAt(0.75), QColor(Qt::red));
        } else {
            QTest::keyClick(form.findChild<QWidget *>(QStringLiteral("sourceTreeView")), Qt::Key_Backslash);
            QCOMPARE(colourAt(0.75), QColor(Qt::red));
            QCOMPARE(colourAt(0.25), QColor(Qt::red));
            QTest::keyClick(form.findChild<QWidget *>(QStringLiteral("sourceTreeView")), Qt::Key_Backslash);
            QCOMPARE(colourAt(0.25), QColor(Qt::blue));
        }

        // Another row without a result: its own picture, and the key does nothing to it.
        probe.request(writeTestImage(dir.filePath(QStringLiteral("plain.png")), 100, 50, Qt::green));
        QTRY_COMPARE(colourAt(0.25), QColor(Qt::green));
        QCOMPARE(colourAt(0.75), QColor(Qt::green));
        QTest::keyClick(form.findChild<QWidget *>(QStringLiteral("sourceTreeView")), Qt::Key_Backslash);
        QCOMPARE(colourAt(0.75), QColor(Qt::green));
        QVERIFY(label(form)->toolTip().isEmpty());
    }

    // The comparison of a row that was left before it arrived is not shown over the next row's picture.
    void staleComparisonDropped()
    {
        PelmoraForm form(nullptr);
        form.resize(1000, 600);
        Probe probe{form};
        probe.showWorkPage();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const QString source = writeTestImage(dir.filePath(QStringLiteral("left.png")), 100, 50, Qt::red);
        probe.resultWritten(source,
                            writeTestImage(dir.filePath(QStringLiteral("left-x4.png")), 400, 200, Qt::blue));
        probe.request(source);
        // Ticks until the render starts; its result can only arrive through the event loop, after the
        // next request.
        const int renders = probe.renders();
        while (probe.renders() == renders)
            probe.tick();
        probe.request(writeTestImage(dir.filePath(QStringLiteral("next.png")), 100, 50, Qt::green));
        QTRY_COMPARE(probe.comparisonsDropped(), 1);
        QVERIFY(!hasPicture(form));
        QTRY_VERIFY(hasPicture(form));
        QCOMPARE(label(form)->pixmap().toImage().pixelColor(label(form)->pixmap().width() * 3 / 4, 5),
                 QColor(Qt::green));
    }

    void undecodableFileLeavesTheLabelEmpty()
    {
        PelmoraForm form(nullptr);
        form.resize(800, 600);
        Probe probe{form};
        probe.showWorkPage();
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const int renders = probe.renders();
        probe.request(writeTestBytes(dir.filePath(QStringLiteral("bad.png")), "\x89PNG broken"));
        QTRY_COMPARE(probe.renders(), renders + 1);
        QTRY_VERIFY(label(form)->text().isEmpty());
        QVERIFY(!hasPicture(form));
    }
};

QTEST_MAIN(TestPreviewForm)
#include "test_preview_form.moc"
