#include "widgets/PelmoraTreeView.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

struct ViewUnderTest : PelmoraTreeView {
    ViewUnderTest() : PelmoraTreeView(nullptr) {}
    using PelmoraTreeView::startDrag;
};

enum class Spot { Above, Below, On, EmptySpace };

} // namespace

Q_DECLARE_METATYPE(Spot)

// Rows are dragged for real: Qt's own drag loop runs, fed with mouse events, so the view sees the drag
// with itself as the source, exactly as when the user drags rows.
class TestListMoves : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    QStandardItemModel *makeModel(QObject *parent)
    {
        auto *model = new QStandardItemModel(0, 2, parent);
        for (int i = 0; i < 5; ++i) {
            const QString path = dir.filePath(QStringLiteral("%1.png").arg(i));
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly))
                qFatal("cannot create a test file");
            model->appendRow({new QStandardItem(QStringLiteral("name%1").arg(i)), new QStandardItem(path)});
        }
        return model;
    }
    static QStringList order(const QStandardItemModel &model)
    {
        QStringList names;
        for (int row = 0; row < model.rowCount(); ++row) {
            const QStandardItem *nameItem = model.item(row, 0);
            const QStandardItem *pathItem = model.item(row, 1);
            if (!nameItem || !pathItem)
                return {QStringLiteral("row %1 lacks a column").arg(row)};
            const QString name = nameItem->text();
            const QString path = pathItem->text();
            // Both columns of a row travel together.
            if (!path.endsWith(name.mid(4) + QStringLiteral(".png")))
                return {QStringLiteral("torn row: ") + name + QLatin1Char(' ') + path};
            names << name.mid(4);
        }
        if (model.columnCount() != 2)
            names << QStringLiteral("columns: %1").arg(model.columnCount());
        return names;
    }

private slots:
    void moves_data()
    {
        QTest::addColumn<QList<int>>("dragged");
        QTest::addColumn<int>("target");
        QTest::addColumn<int>("column");
        QTest::addColumn<Spot>("spot");
        QTest::addColumn<QString>("expected");
        QTest::newRow("above a row") << QList<int>{0} << 3 << 0 << Spot::Above << "12034";
        QTest::newRow("below a row") << QList<int>{0} << 3 << 0 << Spot::Below << "12304";
        QTest::newRow("below the last row") << QList<int>{1} << 4 << 0 << Spot::Below << "02341";
        QTest::newRow("onto a row") << QList<int>{0} << 3 << 0 << Spot::On << "01234";
        QTest::newRow("onto empty space") << QList<int>{0} << 4 << 0 << Spot::EmptySpace << "01234";
        QTest::newRow("several rows between two") << QList<int>{0, 4} << 2 << 0 << Spot::Above << "10423";
        QTest::newRow("between rows over the path column")
            << QList<int>{4} << 1 << 1 << Spot::Above << "04123";
    }
    void moves()
    {
        QFETCH(QList<int>, dragged);
        QFETCH(int, target);
        QFETCH(int, column);
        QFETCH(Spot, spot);
        QFETCH(QString, expected);

        ViewUnderTest view;
        QStandardItemModel *model = makeModel(&view);
        view.setModel(model);
        view.setSelectionMode(QAbstractItemView::ExtendedSelection);
        view.setAcceptDrops(true);
        view.setDragEnabled(true);
        view.setDragDropMode(QAbstractItemView::InternalMove);
        view.setDefaultDropAction(Qt::MoveAction);
        view.resize(600, 400);
        view.header()->resizeSection(0, 200);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));

        QItemSelection selection;
        for (const int row : dragged)
            selection.select(model->index(row, 0), model->index(row, 1));
        view.selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
        view.selectedPath = model->item(dragged.constFirst(), 1)->text();

        const QRect rect = view.visualRect(model->index(target, column));
        QPoint at;
        switch (spot) {
        case Spot::Above:
            at = QPoint(rect.center().x(), rect.top() + 1);
            break;
        case Spot::Below:
            at = QPoint(rect.center().x(), rect.bottom() - 1);
            break;
        case Spot::On:
            at = rect.center();
            break;
        case Spot::EmptySpace:
            at = QPoint(rect.center().x(), rect.bottom() + 3 * rect.height());
            break;
        }
        QWindow *window = view.windowHandle();
        const QPoint inWindow = view.viewport()->mapTo(&view, at);
        QTest::mousePress(
            window, Qt::LeftButton, {},
            view.viewport()->mapTo(&view, view.visualRect(model->index(dragged.constFirst(), 0)).center()));
        QTimer::singleShot(0, &view, [window, inWindow] {
            QTest::mouseMove(window, inWindow - QPoint(0, 1));
            QTest::mouseMove(window, inWindow);
            QTest::mouseRelease(window, Qt::LeftButton, {}, inWindow);
        });
        view.startDrag(Qt::MoveAction);
        QCOMPARE(order(*model).join(QString()), expected);
    }

    // A row whose file went away since it was selected is not moved.
    void vanishedFileIsNotMoved()
    {
        ViewUnderTest view;
        QStandardItemModel *model = makeModel(&view);
        view.setModel(model);
        view.setAcceptDrops(true);
        view.setDragEnabled(true);
        view.setDragDropMode(QAbstractItemView::InternalMove);
        view.resize(600, 400);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        view.selectionModel()->select(model->index(0, 0),
                                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        view.selectedPath = model->item(0, 1)->text();
        QVERIFY(QFile::remove(view.selectedPath));

        const QRect rect = view.visualRect(model->index(3, 0));
        QWindow *window = view.windowHandle();
        const QPoint inWindow = view.viewport()->mapTo(&view, QPoint(rect.center().x(), rect.top() + 1));
        QTest::mousePress(window, Qt::LeftButton, {},
                          view.viewport()->mapTo(&view, view.visualRect(model->index(0, 0)).center()));
        QTimer::singleShot(0, &view, [window, inWindow] {
            QTest::mouseMove(window, inWindow);
            QTest::mouseRelease(window, Qt::LeftButton, {}, inWindow);
        });
        view.startDrag(Qt::MoveAction);
        QCOMPARE(order(*model).join(QString()), QStringLiteral("01234"));
    }
};

int main(int argc, char **argv)
{
    // The offscreen platform ends every drag at once; the minimal one runs Qt's own drag loop, still
    // without a display.
    qputenv("QT_QPA_PLATFORM", "minimal");
    QApplication app(argc, argv);
    TestListMoves test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_list_moves.moc"
