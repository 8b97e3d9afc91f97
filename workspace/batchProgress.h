#pragma once

#include <QList>
#include <QSize>
#include <QString>

// The time left of a batch, estimated from the work done so far. Work is counted in input pixels,
// which is what the network's time follows: a picture's share is its pixel count, and inside a
// picture the tiles done of its tiles. The rate is what the batch has achieved so far, loading and
// writing included, so the estimate is refined with every tile and every picture.
class BatchTimeEstimate {
public:
    // One entry per picture of the batch, in order: its size, or an invalid size when its header
    // could not be read (such a picture weighs as much as the average of the others).
    explicit BatchTimeEstimate(const QList<QSize> &pictureSizes);

    // The picture with this index is being enlarged: every picture before it is done (written,
    // failed or skipped).
    void pictureStarted(int index);
    // Tiles done of the current picture's tiles.
    void tilesDone(int done, int total);

    // Share of the batch's work done, 0 to 1.
    double fractionDone() const;
    // Milliseconds left after `elapsedMs` of work, or -1 while too little is done to tell.
    qint64 remainingMs(qint64 elapsedMs) const;

private:
    QList<double> weights;
    double totalWeight = 0;
    double weightBefore = 0; // of the pictures before the current one
    int current = -1;
    double currentFraction = 0;
};

// The size a picture shows once the orientation stored in it is applied, from its header only; an
// invalid size when the header cannot be read.
QSize orientedImageSize(const QString &path);

// "0:42", "12:05", "1:02:03": minutes and seconds, with hours when there are any.
QString durationText(qint64 ms);

// The progress page's time line: "Elapsed 0:42" and, once known, " - about 3:10 left".
QString batchTimeText(qint64 elapsedMs, qint64 remainingMs);
