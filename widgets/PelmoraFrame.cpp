#include "widgets/PelmoraFrame.h"

#include "workspace/supportedImage.h"

#include <QDebug>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>

PelmoraFrame::PelmoraFrame(QWidget *parent) : QFrame(parent) {}

void PelmoraFrame::dragEnterEvent(QDragEnterEvent *event)
{
    event->setDropAction(Qt::LinkAction);
    const std::optional<QString> path = firstDraggedPath(event->mimeData());
    if (!path) {
        event->setAccepted(false);
        return;
    }
    // Folders are for the list view, which walks them; the drop page takes images only.
    if (QFileInfo(*path).isDir()) {
        event->setAccepted(false);
        return;
    }
    event->setAccepted(acceptsDraggedImage(*path));
}

void PelmoraFrame::dragMoveEvent(QDragMoveEvent *event)
{
    event->setAccepted(true);
}

void PelmoraFrame::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData() ? event->mimeData()->urls() : QList<QUrl>();
    qDebug() << "dropEvent: " << urls;
    // Left unaccepted: the file manager must not treat the drop as a move and delete its files.
    emit addURLs(urls);
}
