#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>

namespace engine {

struct BatchFailure {
    QString path;
    QString reason;
};

struct BatchSummary {
    int total = 0;
    QStringList written; // output paths
    QList<BatchFailure> failures;
    bool cancelled = false;
};

// The text of the completion message: the usual two lines when every image was written; otherwise
// whether the batch was cancelled, how many of how many images were written and each input that
// failed with its reason, before the question.
QString completionText(const BatchSummary &summary);

// One upscale batch: every path is read, upscaled and written as a new PNG into the output folder.
// Parameters in, signals out: run() works on the calling thread (a pool thread) and touches nothing
// but its own members, the upscaler it was given and the cancel flag, which it reads before every
// file. Its signals reach receivers in the GUI thread as queued calls, in emission order. An input
// that fails is reported and skipped; the batch goes on with the next one.
class BatchJob : public QObject {
    Q_OBJECT

public:
    enum class State { Idle, Running, Finished };
    Q_ENUM(State)

    // Returns the enlarged image, or a null image and the reason in *error.
    using Upscaler = std::function<QImage(const QImage &, QString *error)>;

    BatchJob(QString outputFolder, Upscaler upscaler, const std::atomic<bool> &cancelRequested,
             QObject *parent = nullptr);

    // Worker thread. Runs once; a second call does nothing.
    void run(const QStringList &paths);

    State state() const { return currentState.load(); }
    // Complete once state() is Finished (the watcher of the future that ran run() says so).
    const BatchSummary &summary() const { return result; }

signals:
    void stateChanged(engine::BatchJob::State state);
    // "3 of 12: name", the name shortened for display.
    void fileStarted(const QString &text);
    void statusChanged(const QString &text);
    void fileWritten(const QString &outputPath);
    void fileFailed(const QString &path, const QString &reason);

private:
    void setState(State state);
    void processOne(const QString &path);

    const QString folder;
    const Upscaler upscale;
    const std::atomic<bool> &cancel;
    std::atomic<State> currentState{State::Idle};
    BatchSummary result;
};

} // namespace engine
