#pragma once

#include "workspace/thumbnail.h"

#include <QFutureWatcher>
#include <QObject>
#include <QStringList>
#include <QThreadPool>

// Decodes the thumbnails of many files on a pool of its own and hands them back on the thread that
// created the batch, one by one and in the order of the paths, whatever order the pool finishes
// them in. Not the global pool: Qt's raster painter hands parts of large fills to that pool and waits
// for them, so a thousand queued decodes there would freeze every repaint of the window.
// Destroying the batch cancels what has not started and waits for what has, so no task outlives it.
class ThumbnailBatch : public QObject {
    Q_OBJECT

public:
    // pixelRatio: of the screen the list is shown on (decodeThumbnail).
    ThumbnailBatch(const QStringList &paths, QObject *parent, qreal pixelRatio = 1);
    ~ThumbnailBatch() override;

signals:
    void ready(int index, const Thumbnail &thumbnail);
    void finished();

private:
    void deliverInOrder();

    QThreadPool pool;
    QFutureWatcher<Thumbnail> watcher;
    int total = 0;
    int nextIndex = 0;
};
