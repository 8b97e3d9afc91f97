#pragma once

#include "workspace/thumbnail.h"

#include <QFutureWatcher>
#include <QObject>
#include <QStringList>

// Decodes the thumbnails of many files on the global thread pool and hands them back on the thread
// that created the batch, one by one and in the order of the paths, whatever order the pool
// finishes them in. Destroying the batch cancels what has not started and waits for what has, so no
// pool task outlives it.
class ThumbnailBatch : public QObject {
    Q_OBJECT

public:
    ThumbnailBatch(const QStringList &paths, QObject *parent);
    ~ThumbnailBatch() override;

signals:
    void ready(int index, const Thumbnail &thumbnail);
    void finished();

private:
    void deliverInOrder();

    QFutureWatcher<Thumbnail> watcher;
    int total = 0;
    int nextIndex = 0;
};
