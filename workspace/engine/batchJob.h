#pragma once

#include <QImage>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include "workspace/engine/finishing.h"
#include "workspace/engine/imageOutput.h"
#include "workspace/engine/layerTimeProfile.h"
#include "workspace/engine/outcome.h"

#include <atomic>
#include <functional>
#include <memory>

namespace engine {

class Upscaler;
struct LoadedImage;

struct BatchFailure {
    QString path;
    QString reason;
};

struct BatchNote {
    QString path; // the input
    QString note;
};

struct BatchSummary {
    int total = 0;
    QStringList written; // output paths
    QList<BatchFailure> failures;
    QList<BatchNote> notes; // of pictures that were written
    bool cancelled = false;
};

// What became of one picture of the batch.
struct PictureReport {
    // Done: written. Failed, OutOfMemory (even with the smallest tiles) and DeviceLost: not written, the
    // reason says why. Cancelled: stopped while the network worked on it; NotStarted: the batch stopped
    // before it.
    using Status = Outcome;
    int index = 0; // in the path list
    QString input;
    QString output;     // empty unless written
    QSize size;         // of the result; empty unless written
    QSize sourceSize;   // of the decoded picture; empty when it did not decode
    QSize networkSize;  // what the network made, where the size asked for is another; else empty
    double seconds = 0; // its own decoding, network and writing time, without waits in the queues
    Status status = Status::Failed;
    QString reason;
    // Of a failed picture: the cause may pass, so that a later try may succeed (the GPU was lost,
    // memory ran out even with the smallest tiles, the disk was full, the input vanished since it
    // was listed).
    bool transient = false;
    QString note; // of a written picture: what the user should know (only its first frame, ...)

    bool failed() const { return isFailure(status); }
};

// The text of the completion message: the usual two lines when every image was written; otherwise
// whether the batch was cancelled, how many of how many images were written and each input that
// failed with its reason, before the question. Notes of written pictures are listed the same way.
QString completionText(const BatchSummary &summary);

// One upscale batch: every path is read, upscaled and written as a new file (PNG unless
// setOutputFormat says otherwise) into the output folder.
// Parameters in, signals out: run() touches nothing but its own members, the upscaler it was given
// and the cancel flag. It is pipelined: while the network works on one picture on the calling thread
// (a pool thread), a thread of the job decodes the next ones and another encodes and writes the
// previous ones, each through a queue of a few pictures, so memory stays bounded. Pictures are
// written in list order. Signals come from those three threads (the network's: pictureStarted,
// tileProgress, tileAdvanced, tileFinished; the writer's: writeProgress, fileWritten, fileFailed,
// pictureFinished; both: statusChanged, tagged with its picture) and reach receivers in the GUI thread as
// queued calls, each thread's in emission order. An input that fails is reported and skipped; the batch goes
// on with the next one. Two ways to stop: the cancel flag, read before the network starts on a picture, lets
// the current picture finish and be written; requestStop() abandons it within a layer of the network and
// writes nothing of it. Either way, pictures already finished are still written, and every picture after the
// last one started is reported NotStarted. Every result is marked (resultMark.h), and the first write into a
// folder removes the part files that killed runs left there.
class BatchJob : public QObject {
    Q_OBJECT

public:
    enum class State { Idle, Running, Finished };
    Q_ENUM(State)

    // cancelBetweenPictures, when given, is the window's Cancel flag; it must outlive run().
    BatchJob(QString outputFolder, std::shared_ptr<const Upscaler> upscaler,
             const std::atomic<bool> *cancelBetweenPictures = nullptr, QObject *parent = nullptr);
    ~BatchJob() override;

    // Worker thread. Runs once; a second call does nothing. outputFolders, when not empty, gives
    // each path its own folder (created when missing) instead of the job's.
    void run(const QStringList &paths, const QStringList &outputFolders = {});
    // Any thread, and safe in a signal handler: a single store to a lock-free atomic that the
    // runtime reads between layers.
    void requestStop() { stopNow.store(true); }

    // The index of the picture the calling thread is decoding, enlarging or writing for a job, or
    // -1: messages that libraries print on those threads concern that picture.
    static int pictureOfThisThread();

    // Decoding and writing; tests and benchmarks replace them. Called on the job's own threads, one
    // picture at a time each. Set before run().
    struct Stages {
        std::function<LoadedImage(const QString &path)> load;
        std::function<WriteResult(const PictureToWrite &picture)> write;
    };
    void setStages(Stages replacement);
    // Set before run().
    void setOutputFormat(const OutputFormat &format) { outputFormat = format; }
    // The size and the detail strength of the results (finishing.h). Set before run().
    void setFinishing(const Finishing &options) { finishing = options; }
    const OutputFormat &resultFormat() const { return outputFormat; }
    const Finishing &resultFinishing() const { return finishing; }
    // Pictures decoded ahead of the network, and finished ones waiting for the writer.
    static constexpr int kDecodedAhead = 2;
    static constexpr int kWaitingToWrite = 1;

    State state() const { return currentState.load(); }
    // Complete once state() is Finished (the watcher of the future that ran run() says so).
    const BatchSummary &summary() const { return result; }

signals:
    void stateChanged(engine::BatchJob::State state);
    // index from 0 of total; the network is about to start on it.
    void pictureStarted(int index, int total, const QString &path);
    // The tiles of the current picture: (0, total) when its plan starts, then after every tile.
    void tileProgress(int done, int total);
    // Between those, as the network goes through the layers of a tile: tiles done with the share of
    // the one under way (2.4: two tiles and 40% of the third), at most once a percent of a tile.
    void tileAdvanced(double done, int total);
    // A finished part of the current picture's colour, and its place in output pixels. Emitted only
    // while something is connected: the copy is not free.
    void tileFinished(const QImage &tile, const QRect &where);
    // A status line for the picture `index`; the writer's arrive late, after the network has
    // started on later pictures.
    void statusChanged(int index, const QString &text);
    // index of the picture being written, and how much of it is encoded.
    void writeProgress(int index, int percent);
    void fileWritten(const QString &outputPath);
    // reason is plain text for a log or a message.
    void fileFailed(const QString &path, const QString &reason);
    // Every picture that was started ends with exactly one report, in list order.
    void pictureFinished(const engine::PictureReport &report);

private:
    struct Decoded;
    struct Finished;
    void setState(State state);
    Finished upscaleOne(Decoded item, int total);
    void writeOne(Finished item);
    void cleanUpOnce(const QString &target);
    void finish(PictureReport report);

    const QString folder;
    const std::shared_ptr<const Upscaler> upscaler;
    const std::atomic<bool> *cancel;
    std::atomic<bool> stopNow{false};
    std::atomic<State> currentState{State::Idle};
    Stages stages;
    OutputFormat outputFormat;
    Finishing finishing;
    // Written by the writer thread only while run() runs.
    BatchSummary result;
    int reported = 0;
    QStringList cleanedFolders;
    // The network thread's, learnt over the batch's tiles.
    LayerTimeProfile layerTimes;
};

} // namespace engine

Q_DECLARE_METATYPE(engine::PictureReport)
