#include "widgets/PelmoraFrame.h"
#include "widgets/PelmoraTreeView.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QMimeData>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Reaches the protected handlers the way Qt's drag manager would call them.
struct FrameUnderTest : PelmoraFrame {
    FrameUnderTest() : PelmoraFrame(nullptr) {}
    using PelmoraFrame::dragEnterEvent;
    using PelmoraFrame::dragMoveEvent;
    using PelmoraFrame::dropEvent;
};

struct ViewUnderTest : PelmoraTreeView {
    ViewUnderTest() : PelmoraTreeView(nullptr) {}
    using PelmoraTreeView::dragEnterEvent;
    using PelmoraTreeView::dropEvent;
};

template <typename Target> bool enterAccepted(Target &target, const QList<QUrl> &urls, bool withUrls)
{
    QMimeData mime;
    if (withUrls)
        mime.setUrls(urls);
    else
        mime.setText(QStringLiteral("just some text"));
    QDragEnterEvent event(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction | Qt::LinkAction, &mime,
                          Qt::LeftButton, Qt::NoModifier);
    target.dragEnterEvent(&event);
    return event.isAccepted();
}

} // namespace

class TestDropTargets : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    QUrl file(const QString &name)
    {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            qFatal("cannot create a test file");
        return QUrl::fromLocalFile(path);
    }
    QUrl folder(const QString &name)
    {
        QDir(dir.path()).mkpath(name);
        return QUrl::fromLocalFile(dir.filePath(name));
    }

private slots:
    // Columns: what the drag carries, whether the frame takes it, whether the list view takes it.
    void dragEnter_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::addColumn<bool>("withUrls");
        QTest::addColumn<bool>("frame");
        QTest::addColumn<bool>("view");
        const QUrl image = file(QStringLiteral("photo.JPEG"));
        const QUrl text = file(QStringLiteral("notes.txt"));
        const QUrl svg = file(QStringLiteral("logo.svg"));
        const QUrl album = folder(QStringLiteral("album"));
        const QUrl web(QStringLiteral("https://example.com/photo.png"));
        QTest::newRow("folder first") << QList<QUrl>{album, image} << true << false << true;
        QTest::newRow("image first") << QList<QUrl>{image, text, album} << true << true << true;
        QTest::newRow("text file first") << QList<QUrl>{text, image} << true << false << false;
        QTest::newRow("svg first") << QList<QUrl>{svg} << true << true << false;
        QTest::newRow("web address") << QList<QUrl>{web} << true << false << false;
        QTest::newRow("no urls") << QList<QUrl>{} << false << false << false;
        QTest::newRow("empty url list") << QList<QUrl>{} << true << false << false;
    }
    void dragEnter()
    {
        QFETCH(QList<QUrl>, urls);
        QFETCH(bool, withUrls);
        QFETCH(bool, frame);
        QFETCH(bool, view);
        FrameUnderTest dropFrame;
        ViewUnderTest listView;
        QCOMPARE(enterAccepted(dropFrame, urls, withUrls), frame);
        QCOMPARE(enterAccepted(listView, urls, withUrls), view);
    }

    void frameProposesLink()
    {
        QMimeData mime;
        mime.setUrls({file(QStringLiteral("a.png"))});
        QDragEnterEvent event(QPoint(1, 1), Qt::CopyAction | Qt::LinkAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        FrameUnderTest dropFrame;
        dropFrame.dragEnterEvent(&event);
        QCOMPARE(event.dropAction(), Qt::LinkAction);
    }

    // Every URL travels, unfiltered and in order, and the drop itself stays unaccepted so that the
    // file manager never removes what it dragged.
    void dropEmitsEveryUrl()
    {
        const QList<QUrl> urls{file(QStringLiteral("a.png")), file(QStringLiteral("notes.txt")),
                               folder(QStringLiteral("more")),
                               QUrl(QStringLiteral("https://example.com/b.png"))};
        QMimeData mime;
        mime.setUrls(urls);

        FrameUnderTest dropFrame;
        QSignalSpy frameSpy(&dropFrame, &PelmoraFrame::addURLs);
        QDropEvent frameDrop(QPointF(3, 3), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                             Qt::NoModifier);
        dropFrame.dropEvent(&frameDrop);
        QCOMPARE(frameSpy.count(), 1);
        QCOMPARE(frameSpy.at(0).at(0).value<QList<QUrl>>(), urls);
        QVERIFY(!frameDrop.isAccepted());

        ViewUnderTest listView;
        QSignalSpy viewSpy(&listView, &PelmoraTreeView::addURLs);
        QDropEvent viewDrop(QPointF(3, 3), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                            Qt::NoModifier);
        listView.dropEvent(&viewDrop);
        QCOMPARE(viewSpy.count(), 1);
        QCOMPARE(viewSpy.at(0).at(0).value<QList<QUrl>>(), urls);
        QVERIFY(!viewDrop.isAccepted());
    }
};

QTEST_MAIN(TestDropTargets)
#include "test_drop_targets.moc"
