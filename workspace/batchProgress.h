#pragma once

#include <QList>
#include <QSize>
#include <QString>

#include <deque>
#include <vector>

// The time left of a batch, from the measured throughput of its work. Work is what the network's time
// follows: the pixels it is fed, tile by tile with each tile's margin (a small picture costs more than
// its own pixels). The rate is measured over the later half of the time since the batch's first tile
// ended, so the network's warm-up, a tiny first picture and slow early tiles drop out as the batch
// goes on; until enough is measured there is none. Times are milliseconds since the batch started,
// given by the caller.
class BatchTimeEstimate {
public:
    // One entry per picture of the batch, in order: its size, or an invalid size when its header
    // could not be read (such a picture weighs as much as the average of the others). tileSize and
    // inputMultiple as the tiled pass will cut them; tileSize 0 when not known (one tile a picture).
    explicit BatchTimeEstimate(const QList<QSize> &pictureSizes, int tileSize = 0, int inputMultiple = 1);

    // The picture with this index is being enlarged: every picture before it is done (written,
    // failed or skipped).
    void pictureStarted(int index, qint64 nowMs);
    // Tiles done of the current picture's tiles; a fraction counts the share of the tile under way
    // that the network has been through (2.4: two tiles and 40% of the third).
    void tilesDone(double done, int total, qint64 nowMs);

    // Share of the batch's work done, 0 to 1.
    double fractionDone() const;
    // Milliseconds left at `nowMs`, or -1 while too little is measured to tell.
    qint64 remainingMs(qint64 nowMs) const;

    // Enough measured: at least this long since the first report, over at least two more reports;
    // or, for a short batch, a twentieth of its work over at least kShortMeasuredMs.
    static constexpr qint64 kMeasuredMs = 2000;
    static constexpr qint64 kShortMeasuredMs = 300;

private:
    // The network's work of one picture, tile by tile, as running sums.
    std::vector<double> tileWork(int index) const;

    QList<QSize> sizes;
    QList<double> weights;
    int edge = 0;
    int multiple = 1;
    double totalWeight = 0;
    double weightBefore = 0; // of the pictures before the current one
    int current = -1;
    std::vector<double> currentTiles;
    double currentDone = 0;
    // Finished tiles: the batch's first, those the measurement may still start from, the latest.
    struct Point {
        qint64 ms;
        double work;
    };
    qint64 firstMs = -1;
    double firstWork = 0;
    std::deque<Point> window;
    qint64 lastMs = -1;
    double lastWork = 0;
    int tilesSinceFirst = 0;
};

// The picture being enlarged as a batch's signals tell it: its name, its status line and its tiles, for
// the window's progress page and the command line's progress line alike. Messages arrive late and from
// two threads: the writer's status for a picture arrives after the network has started on the next
// one. Only messages about the current picture count; the rest are stale and dropped.
class PictureInProgress {
public:
    void pictureStarted(int index, int total, const QString &path);
    void tileProgress(int done, int total);
    void statusChanged(int index, const QString &text);
    // Written or failed.
    void pictureFinished(int index);

    int picture() const { return current; }
    QString fileText() const { return file; }
    QString statusText() const { return status; }
    // A maximum of 0 shows a busy bar.
    int barMaximum() const { return maximum; }
    int barValue() const { return value; }

private:
    int current = -1;
    QString file;
    QString status;
    int maximum = 0;
    int value = 0;
};

// The size a picture shows once the orientation stored in it is applied, from its header only; an
// invalid size when the header cannot be read.
QSize orientedImageSize(const QString &path);

// "0:42", "12:05", "1:02:03": minutes and seconds, with hours when there are any.
QString durationText(qint64 ms);

// Where the batch is, for its line on the progress page: once Cancel was pressed it finishes the
// picture under way; once finished nothing is left to estimate.
enum class BatchPhase { Running, Stopping, Finished };

// The progress page's batch line: the share of the batch's work, "Elapsed 0:42", and then
// "estimating the time left" until the estimate is known, "about 3:10 left" after; while stopping
// "Stopping after this picture…" instead of the time left, and once finished neither.
QString batchTimeText(double fraction, qint64 elapsedMs, qint64 remainingMs,
                      BatchPhase phase = BatchPhase::Running);
