#include "workspace/thumbnailBatch.h"

#include <QtConcurrent>

ThumbnailBatch::ThumbnailBatch(const QStringList &paths, QObject *parent, qreal pixelRatio)
    : QObject(parent), total(paths.size())
{
    // Below the GUI thread, so a busy machine still answers clicks first.
    pool.setThreadPriority(QThread::LowPriority);
    connect(&watcher, &QFutureWatcherBase::resultReadyAt, this, &ThumbnailBatch::deliverInOrder);
    connect(&watcher, &QFutureWatcherBase::finished, this, [this] {
        deliverInOrder();
        emit finished();
    });
    watcher.setFuture(QtConcurrent::mapped(
        &pool, paths, [pixelRatio](const QString &path) { return decodeThumbnail(path, pixelRatio); }));
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
