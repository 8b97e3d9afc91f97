#include "base/AppInfo.h"
#include "formTestSupport.h"
#include "widgets/PelmoraTreeView.h"
#include "workspace/PelmoraForm.h"
#include "workspace/engine/resultMark.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QScopeGuard>
#include <QStackedLayout>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <memory>

namespace {
struct FileListTag {};
} // namespace

template <> struct PelmoraFormProbe<FileListTag> {
    PelmoraForm &form;

    // Starts an add and returns at once, as a drop does.
    void startAdd(const QList<QUrl> &urls) { form.on_AddURLs(urls); }
    bool adding() const { return form.addInProgress; }
    bool waitUntilIdle()
    {
        return QTest::qWaitFor([this] { return !form.addInProgress; }, 20000);
    }
    void add(const QList<QUrl> &urls)
    {
        startAdd(urls);
        QVERIFY(waitUntilIdle());
    }
    void remove() { form.on_removeButton_clicked(); }
    void clear() { form.on_clearButton_clicked(); }
    void dialogAdd() { form.on_addButton_clicked(); }
    int page() const { return form.pageStack->currentIndex(); }
    QStandardItemModel &model() { return form.fileModel; }
    QString lastAdded() const { return form.lastAddedPath; }
};
using Probe = PelmoraFormProbe<FileListTag>;

class TestFileListForm : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    template <typename T> static T *child(PelmoraForm &form, const char *name)
    {
        return form.findChild<T *>(QString::fromLatin1(name));
    }
    static bool enabled(PelmoraForm &form, const char *name)
    {
        return child<QToolButton>(form, name)->isEnabled();
    }
    static QStringList paths(QStandardItemModel &model)
    {
        QStringList result;
        for (int row = 0; row < model.rowCount(); ++row)
            result << model.item(row, 1)->text();
        return result;
    }
    QString path(const QString &relative) const { return dir.filePath(relative); }

    // Answers the next modal file dialog: notes the folder it opened in, then types the given names
    // and accepts, or cancels when there are none.
    static void answerNextDialog(QString *openedIn, const QString &typed)
    {
        auto *poll = new QTimer;
        QObject::connect(poll, &QTimer::timeout, [poll, openedIn, typed] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            poll->deleteLater();
            *openedIn = dialog->directory().absolutePath();
            if (typed.isEmpty()) {
                dialog->reject();
                return;
            }
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(typed);
            static_cast<QDialog *>(dialog)->accept();
        });
        poll->start(10);
    }
    static QSettings store() { return QSettings(QStringLiteral("Corvane"), QStringLiteral("Pelmora")); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        isolateSettings(dir.filePath(QStringLiteral("settings")));
    }

    void folderWalkAndRows()
    {
        writeTestImage(path(QStringLiteral("tree/top.png")), 1000, 500);
        writeTestImage(path(QStringLiteral("tree/deep/er/tall.PNG")), 500, 1000);
        writeTestImage(path(QStringLiteral("tree/.hidden.png")), 10, 10);
        writeTestImage(path(QStringLiteral("tree/noext")), 10, 10);
        writeTestBytes(path(QStringLiteral("tree/notes.txt")), "text");
        writeTestBytes(path(QStringLiteral("tree/logo.svg")), "<svg/>");
        writeTestBytes(path(QStringLiteral("tree/broken.png")),
                       QByteArray("\x89PNG\r\n\x1a\n not really", 19));
        // A result of an earlier batch written into the same tree is not a photo to enlarge again.
        QImage result(8, 8, QImage::Format_RGB888);
        result.fill(Qt::gray);
        engine::markAsResult(result, path(QStringLiteral("tree/top.png")));
        QVERIFY(result.save(path(QStringLiteral("tree/top(2).png"))));

        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.add({QUrl::fromLocalFile(path(QStringLiteral("tree"))),
                   QUrl(QStringLiteral("https://example.com/a.png"))});

        QStringList listed = paths(probe.model());
        listed.sort();
        const QStringList expected{path(QStringLiteral("tree/broken.png")),
                                   path(QStringLiteral("tree/deep/er/tall.PNG")),
                                   path(QStringLiteral("tree/top.png"))};
        QCOMPARE(listed, expected);

        for (int row = 0; row < probe.model().rowCount(); ++row) {
            const QStandardItem *item = probe.model().item(row, 0);
            const QFileInfo info(probe.model().item(row, 1)->text());
            const QStringList lines = item->text().split(QLatin1Char('\n'));
            QCOMPARE(lines.size(), 3);
            QCOMPARE(lines.at(0), info.fileName());
            QCOMPARE(lines.at(2), info.path());
            if (info.fileName() == QLatin1String("broken.png")) {
                // Says so, and keeps its text in line with the thumbnails of the other rows.
                QCOMPARE(lines.at(1), QStringLiteral("Cannot be read"));
                QCOMPARE(item->icon().availableSizes(), QList<QSize>{QSize(64, 64)});
            } else if (info.fileName() == QLatin1String("top.png")) {
                QCOMPARE(lines.at(1), QStringLiteral("1000x500"));
                QCOMPARE(item->icon().availableSizes(), QList<QSize>{QSize(128, 64)});
            } else {
                QCOMPARE(lines.at(1), QStringLiteral("500x1000"));
                QCOMPARE(item->icon().availableSizes(), QList<QSize>{QSize(64, 128)});
            }
        }

        // The finishing steps: work page, last row current and the only one selected.
        QCOMPARE(probe.page(), 1);
        auto *view = child<PelmoraTreeView>(form, "sourceTreeView");
        const int last = probe.model().rowCount() - 1;
        QCOMPARE(view->currentIndex().row(), last);
        QCOMPARE(view->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(view->selectionModel()->selectedRows().constFirst().row(), last);
        QCOMPARE(view->selectedPath, probe.model().item(last, 1)->text());
        QCOMPARE(probe.lastAdded(), probe.model().item(last, 1)->text());
        QVERIFY(enabled(form, "upscaleButton"));
        QVERIFY(enabled(form, "clearButton"));
        QVERIFY(enabled(form, "removeButton"));
    }

    // On a case-sensitive file system these are two files; the list still takes only the first.
    void duplicatesInAnotherLetterCase()
    {
        const QString lower = writeTestImage(path(QStringLiteral("dup/photo.png")), 20, 10);
        const QString upper = writeTestImage(path(QStringLiteral("dup/PHOTO.png")), 20, 10);
        const QString other = writeTestImage(path(QStringLiteral("dup/other.png")), 20, 10);
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.add({QUrl::fromLocalFile(lower), QUrl::fromLocalFile(other)});
        probe.add({QUrl::fromLocalFile(upper), QUrl::fromLocalFile(lower)});
        QCOMPARE(paths(probe.model()), (QStringList{lower, other}));
        // Nothing new, but the finishing steps still ran.
        QCOMPARE(probe.page(), 1);
        QCOMPARE(child<PelmoraTreeView>(form, "sourceTreeView")->currentIndex().row(), 1);
    }

    void addingNothingToAnEmptyList()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.add({QUrl::fromLocalFile(writeTestBytes(path(QStringLiteral("n/notes.txt")), "x"))});
        QCOMPARE(probe.model().rowCount(), 0);
        QCOMPARE(probe.page(), 1);
        QVERIFY(enabled(form, "upscaleButton"));
        QVERIFY(enabled(form, "clearButton"));
    }

    // Rows selected in both columns are each removed once; the survivors keep their order.
    void removeSelectionInBothColumns()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        QList<QUrl> urls;
        for (int i = 0; i < 5; ++i)
            urls << QUrl::fromLocalFile(writeTestImage(path(QStringLiteral("rm/%1.png").arg(i)), 8, 8));
        probe.add(urls);
        auto *view = child<PelmoraTreeView>(form, "sourceTreeView");
        QItemSelection selection;
        for (const int row : {3, 0, 1})
            selection.select(probe.model().index(row, 0), probe.model().index(row, 1));
        view->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
        QCOMPARE(view->selectionModel()->selectedIndexes().size(), 6);

        probe.remove();
        QCOMPARE(paths(probe.model()), (QStringList{urls.at(2).toLocalFile(), urls.at(4).toLocalFile()}));
        QCOMPARE(probe.page(), 1);
        QVERIFY(enabled(form, "upscaleButton"));
        QCOMPARE(child<QLabel>(form, "orgLabel")->text(), QStringLiteral("Preview"));

        view->selectAll();
        probe.remove();
        QCOMPARE(probe.model().rowCount(), 0);
        QCOMPARE(probe.page(), 0);
        QVERIFY(!enabled(form, "upscaleButton"));
        QVERIFY(!enabled(form, "clearButton"));
        QVERIFY(!enabled(form, "removeButton"));
    }

    void removeWithoutSelectionChangesNothing()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.add({QUrl::fromLocalFile(writeTestImage(path(QStringLiteral("keep/a.png")), 8, 8))});
        child<PelmoraTreeView>(form, "sourceTreeView")->clearSelection();
        QVERIFY(!enabled(form, "removeButton"));
        probe.remove();
        QCOMPARE(probe.model().rowCount(), 1);
    }

    // A second add waits for the first; both end up as if each had run alone, in order.
    void secondAddWaitsForTheFirst()
    {
        QList<QUrl> first;
        QList<QUrl> second;
        QStringList expected;
        for (int i = 0; i < 12; ++i) {
            const QString file =
                writeTestImage(path(QStringLiteral("q1/%1.png").arg(i, 2, 10, QLatin1Char('0'))), 40, 30);
            first << QUrl::fromLocalFile(file);
            expected << file;
        }
        for (int i = 0; i < 3; ++i) {
            const QString file = writeTestImage(path(QStringLiteral("q2/%1.png").arg(i)), 30, 40);
            second << QUrl::fromLocalFile(file);
            expected << file;
        }
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.startAdd(first);
        QVERIFY(probe.adding());
        probe.startAdd(second << first.constFirst());
        QVERIFY(probe.waitUntilIdle());
        QCOMPARE(paths(probe.model()), expected);
        for (int row = 0; row < probe.model().rowCount(); ++row)
            QVERIFY2(!probe.model().item(row, 0)->icon().isNull(), qPrintable(expected.at(row)));
        QCOMPARE(child<PelmoraTreeView>(form, "sourceTreeView")->currentIndex().row(), expected.size() - 1);
    }

    // Rows that go away before their thumbnail arrives are skipped; the rest still get theirs.
    void rowsRemovedWhileThumbnailsAreMade()
    {
        QList<QUrl> urls;
        for (int i = 0; i < 10; ++i)
            urls << QUrl::fromLocalFile(writeTestImage(path(QStringLiteral("busy/%1.png").arg(i)), 300, 200));
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.startAdd(urls);
        QVERIFY(QTest::qWaitFor([&] { return probe.model().rowCount() == 10; }, 20000));
        probe.model().removeRows(0, 5);
        QVERIFY(probe.waitUntilIdle());
        QCOMPARE(probe.model().rowCount(), 5);
        for (int row = 0; row < 5; ++row) {
            QCOMPARE(probe.model().item(row, 0)->text().section(QLatin1Char('\n'), 1, 1),
                     QStringLiteral("300x200"));
            QVERIFY(!probe.model().item(row, 0)->icon().isNull());
        }
    }

    void closingWhileAThumbnailBatchRuns()
    {
        QList<QUrl> urls;
        for (int i = 0; i < 10; ++i)
            urls << QUrl::fromLocalFile(
                writeTestImage(path(QStringLiteral("close/%1.png").arg(i)), 400, 300));
        auto form = std::make_unique<PelmoraForm>(nullptr);
        Probe probe{*form};
        probe.startAdd(urls);
        QVERIFY(probe.adding());
        form.reset();
        QCoreApplication::processEvents();
    }

    void dialogAdd()
    {
        const QString folder = path(QStringLiteral("dialog"));
        writeTestImage(folder + QStringLiteral("/b.png"), 16, 8);
        writeTestImage(folder + QStringLiteral("/a.jpg"), 8, 16);
        store().setValue(QStringLiteral("lastOpenIcoPath"), folder);
        PelmoraForm form(nullptr);
        Probe probe{form};

        // Cancelled: nothing changes, the remembered folder included.
        QString openedIn;
        answerNextDialog(&openedIn, QString());
        probe.dialogAdd();
        QCOMPARE(openedIn, folder);
        QCOMPARE(probe.model().rowCount(), 0);
        QCOMPARE(store().value(QStringLiteral("lastOpenIcoPath")).toString(), folder);

        // Accepted: rows in the dialog's order, and the folder of the first file remembered.
        store().setValue(QStringLiteral("lastOpenIcoPath"), path(QStringLiteral("elsewhere")));
        answerNextDialog(&openedIn, QLatin1Char('"') + folder + QStringLiteral("/b.png\" \"") + folder +
                                        QStringLiteral("/a.jpg\""));
        QDir().mkpath(path(QStringLiteral("elsewhere")));
        probe.dialogAdd();
        QVERIFY(probe.waitUntilIdle());
        QCOMPARE(paths(probe.model()),
                 (QStringList{folder + QStringLiteral("/b.png"), folder + QStringLiteral("/a.jpg")}));
        QCOMPARE(probe.page(), 1);
        QCOMPARE(store().value(QStringLiteral("lastOpenIcoPath")).toString(), folder);
    }

    void dialogFallsBackToPictures()
    {
        // A home of the test's own, with a Pictures folder in it.
        const QByteArray realHome = qgetenv("HOME");
        qputenv("HOME", path(QStringLiteral("home")).toLocal8Bit());
        const auto restoreHome = qScopeGuard([&] { qputenv("HOME", realHome); });
        QVERIFY(QDir().mkpath(path(QStringLiteral("home/Pictures"))));
        const QString pictures = AppInfo::picturesFolder();
        QVERIFY(QFileInfo(pictures).isDir());
        store().setValue(QStringLiteral("lastOpenIcoPath"), path(QStringLiteral("vanished")));
        PelmoraForm form(nullptr);
        QString openedIn;
        answerNextDialog(&openedIn, QString());
        Probe{form}.dialogAdd();
        QCOMPARE(openedIn, QDir(pictures).absolutePath());
    }

    void clearing()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.add({QUrl::fromLocalFile(writeTestImage(path(QStringLiteral("c/a.png")), 8, 8)),
                   QUrl::fromLocalFile(writeTestImage(path(QStringLiteral("c/b.png")), 8, 8))});
        probe.clear();
        QCOMPARE(probe.model().rowCount(), 0);
        QCOMPARE(probe.page(), 0);
        QVERIFY(!enabled(form, "upscaleButton"));
        QVERIFY(!enabled(form, "clearButton"));
        QVERIFY(!enabled(form, "removeButton"));
        QCOMPARE(child<QLabel>(form, "orgLabel")->text(), QStringLiteral("Preview"));
        // A later add starts over on the work page.
        probe.add({QUrl::fromLocalFile(path(QStringLiteral("c/a.png")))});
        QCOMPARE(probe.model().rowCount(), 1);
        QCOMPARE(probe.page(), 1);
    }
};

QTEST_MAIN(TestFileListForm)
#include "test_filelist_form.moc"
