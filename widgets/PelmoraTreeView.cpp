#include "widgets/PelmoraTreeView.h"

#include "workspace/supportedImage.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>

PelmoraTreeView::PelmoraTreeView(QWidget *parent) : QTreeView(parent)
{
    // Every thumbnail that arrives changes its row; with rows of their own heights the view would lay
    // out the whole list again each time, and a list of a thousand files would stall the window.
    // One height for all rows also keeps the labels of wide and tall pictures in line.
    setUniformRowHeights(true);
}

void PelmoraTreeView::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->source() == this) {
        qDebug() << "event->source(): self";
        qDebug() << "url: " << selectedPath;
        // A row whose file vanished since it was selected is not worth moving.
        event->setAccepted(isSupportedImage(selectedPath));
        return;
    }
    const std::optional<QString> path = firstDraggedPath(event->mimeData());
    if (!path) {
        event->setAccepted(false);
        return;
    }
    if (QFileInfo(*path).isDir()) {
        event->setAccepted(true);
        return;
    }
    event->setAccepted(isSupportedImage(*path));
}

void PelmoraTreeView::dragMoveEvent(QDragMoveEvent *event)
{
    setDropIndicatorShown(true);
    event->setAccepted(true);
    QTreeView::dragMoveEvent(event);
}

void PelmoraTreeView::moveRowsBetween(QDropEvent *event)
{
    // Qt inserts the dragged items from the column under the cursor onwards, so a drop between two
    // rows over the Path column would shift every row one column to the right and tear it apart.
    // The same drop, seen over the first column, moves whole rows.
    const QPoint at = event->position().toPoint();
    const int firstColumnX = columnViewportPosition(0) + columnWidth(0) / 2;
    if (indexAt(at).column() <= 0 || firstColumnX < 0) {
        QAbstractItemView::dropEvent(event);
        return;
    }
    QDropEvent inFirstColumn(QPointF(firstColumnX, at.y()), event->possibleActions(), event->mimeData(),
                             event->buttons(), event->modifiers());
    QAbstractItemView::dropEvent(&inFirstColumn);
    event->setDropAction(inFirstColumn.dropAction());
    event->setAccepted(inFirstColumn.isAccepted());
}

void PelmoraTreeView::dropEvent(QDropEvent *event)
{
    if (event->source() != this) {
        // Left unaccepted so that the file manager never deletes what was dragged out of it.
        emit addURLs(event->mimeData() ? event->mimeData()->urls() : QList<QUrl>());
        return;
    }
    switch (dropIndicatorPosition()) {
    case QAbstractItemView::AboveItem:
        qDebug() << "QAbstractItemView::AboveItem";
        setDropIndicatorShown(false);
        moveRowsBetween(event);
        break;
    case QAbstractItemView::BelowItem:
        qDebug() << "QAbstractItemView::BelowItem";
        setDropIndicatorShown(false);
        moveRowsBetween(event);
        break;
    case QAbstractItemView::OnItem:
        // Dropping onto a row would nest rows under it; the list stays flat.
        qDebug() << "QAbstractItemView::OnItem";
        qDebug() << "isOnItem";
        break;
    case QAbstractItemView::OnViewport:
        qDebug() << "QAbstractItemView::OnViewport";
        break;
    }
}
