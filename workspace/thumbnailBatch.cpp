#include "workspace/thumbnailBatch.h"

#include <QThreadPool>
#include <QtConcurrent>

ThumbnailBatch::ThumbnailBatch(const QStringList &paths, QObject *parent)
    : QObject(parent), total(paths.size())
{
    connect(&watcher, &QFutureWatcherBase::resultReadyAt, this, &ThumbnailBatch::deliverInOrder);
    connect(&watcher, &QFutureWatcherBase::finished, this, [this] {
        deliverInOrder();
        emit finished();
    });
    watcher.setFuture(QtConcurrent::mapped(QThreadPool::globalInstance(), paths, decodeThumbnail));
}

ThumbnailBatch::~ThumbnailBatch()
{
    watcher.disconnect(this);
    watcher.cancel();
    watcher.waitForFinished();
}

void ThumbnailBatch::deliverInOrder()
{
    const QFuture<Thumbnail> future = watcher.future();
    while (nextIndex < total && future.isResultReadyAt(nextIndex)) {
        const int index = nextIndex++;
        emit ready(index, future.resultAt(index));
    }
}
