#include "widgets/PelmoraTreeView.h"

#include "widgets/supportedImage.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>

PelmoraTreeView::PelmoraTreeView(QWidget *parent) : QTreeView(parent) {}

void PelmoraTreeView::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->source() == this) {
        qDebug() << "event->source(): self";
        qDebug() << "url: " << selectedPath;
        // A row whose file vanished since it was selected is not worth moving.
        event->setAccepted(isSupportedImage(selectedPath));
        return;
    }
    const QMimeData *mime = event->mimeData();
    if (!mime || !mime->hasUrls() || mime->urls().isEmpty()) {
        event->setAccepted(false);
        return;
    }
    const QString path = mime->urls().constFirst().toLocalFile();
    if (QFileInfo(path).isDir()) {
        event->setAccepted(true);
        return;
    }
    event->setAccepted(isSupportedImage(path));
}

void PelmoraTreeView::dragMoveEvent(QDragMoveEvent *event)
{
    setDropIndicatorShown(true);
    event->setAccepted(true);
    QTreeView::dragMoveEvent(event);
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
        QAbstractItemView::dropEvent(event);
        break;
    case QAbstractItemView::BelowItem:
        qDebug() << "QAbstractItemView::BelowItem";
        setDropIndicatorShown(false);
        QAbstractItemView::dropEvent(event);
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
