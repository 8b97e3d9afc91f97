#include "workspace/engine/batchJob.h"

#include "workspace/engine/boundedQueue.h"
#include "workspace/engine/engineText.h"

#include "base/nativeName.h"

#include "workspace/engine/fileProblems.h"
#include "workspace/engine/imageInput.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/partFile.h"
#include "workspace/engine/pngOutput.h"
#include "workspace/engine/resultMark.h"
#include "workspace/engine/upscaler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMetaMethod>

#include <optional>
#include <thread>

namespace engine {

namespace {

thread_local int thisThreadsPicture = -1;

// Names the picture a thread works on for as long as it lives.
class WorkingOn {
public:
    explicit WorkingOn(int index) { thisThreadsPicture = index; }
    ~WorkingOn() { thisThreadsPicture = -1; }
    WorkingOn(const WorkingOn &) = delete;
    WorkingOn &operator=(const WorkingOn &) = delete;
};

} // namespace

int BatchJob::pictureOfThisThread()
{
    return thisThreadsPicture;
}

namespace {

// A heading and one line per file, "name – why", with blank lines around to keep it apart from the
// count and the question.
template <typename Entry, typename Why>
QString fileList(const QString &heading, const QList<Entry> &entries, Why why)
{
    // A long list would push the buttons off the screen.
    constexpr int kNamesShown = 10;
    QStringList lines;
    for (const Entry &entry : entries) {
        if (lines.size() == kNamesShown) {
            lines << engineText("and %1 more").arg(entries.size() - kNamesShown);
            break;
        }
        lines << QFileInfo(entry.path).fileName() + QStringLiteral(" \u2013 ") + why(entry);
    }
    return QStringLiteral("\n\n") + heading + QLatin1Char('\n') + lines.join(QLatin1Char('\n')) +
           QLatin1Char('\n');
}

} // namespace

QString completionText(const BatchSummary &summary)
{
    const QString question = formText("Open the output folder?");
    const QString notes = summary.notes.isEmpty()
                              ? QString()
                              : fileList(engineText("Please note:"), summary.notes,
                                         [](const BatchNote &entry) { return entry.note; });
    if (summary.failures.isEmpty() && !summary.cancelled) {
        if (notes.isEmpty())
            return formText("Your upscaled image is ready.") + QLatin1Char('\n') + question;
        return formText("Your upscaled image is ready.") + notes + QLatin1Char('\n') + question;
    }

    const QString count =
        engineText("%1 of %2 images were written.").arg(summary.written.size()).arg(summary.total);
    QString text = summary.cancelled ? QString(engineText("Cancelled.") + QLatin1Char(' ') + count) : count;
    if (!summary.failures.isEmpty())
        text += fileList(engineText("These files could not be upscaled:"), summary.failures,
                         [](const BatchFailure &entry) { return entry.reason; });
    return text + notes + QLatin1Char('\n') + question;
}

static_assert(std::atomic<bool>::is_always_lock_free, "requestStop() must be safe in a signal handler");

BatchJob::BatchJob(QString outputFolder, std::shared_ptr<const Upscaler> upscaler,
                   const std::atomic<bool> *cancelRequested, QObject *parent)
    : QObject(parent), folder(std::move(outputFolder)), upscaler(std::move(upscaler)),
      cancel(cancelRequested), stages{{}, writeNewPicture}
{
    // The decoder refuses, from the header, a picture whose result at this scale cannot fit.
    stages.load = [scale = this->upscaler ? this->upscaler->scale() : 1](const QString &path) {
        return loadInputImage(path, scale);
    };
    qRegisterMetaType<engine::PictureReport>();
}

BatchJob::~BatchJob() = default;

void BatchJob::setState(State state)
{
    currentState.store(state);
    emit stateChanged(state);
}

struct BatchJob::Decoded {
    int index = 0;
    QString path;
    QString folder;
    LoadedImage input;
    qint64 busyNs = 0; // decoding
};

struct BatchJob::Finished {
    PictureReport report;
    QString folder;
    // Still to be written unless the report is already final: the result, described by its source.
    Picture result;
    qint64 busyNs = 0; // decoding and the network
};

void BatchJob::setStages(Stages replacement)
{
    if (replacement.load)
        stages.load = std::move(replacement.load);
    if (replacement.write)
        stages.write = std::move(replacement.write);
}

void BatchJob::run(const QStringList &paths, const QStringList &outputFolders)
{
    if (state() != State::Idle)
        return;
    setState(State::Running);
    result.total = int(paths.size());

    // Every stage keeps the list's order, so results are written in it.
    BoundedQueue<Decoded> decoded(kDecodedAhead);
    BoundedQueue<Finished> toWrite(kWaitingToWrite);
    std::thread decoder([&] {
        for (int i = 0; i < paths.size(); ++i) {
            if (stopNow.load())
                break;
            Decoded item;
            QElapsedTimer clock;
            clock.start();
            item.index = i;
            item.path = paths.at(i);
            item.folder = i < outputFolders.size() ? outputFolders.at(i) : folder;
            {
                const WorkingOn picture(i);
                // A name that is not UTF-8 is read through a link Qt can open (nativeName.h).
                item.input = stages.load(NativeName::reachable(item.path));
            }
            item.busyNs = clock.nsecsElapsed();
            if (!decoded.push(std::move(item)))
                break;
        }
        decoded.close();
    });
    std::thread writer([&] {
        while (std::optional<Finished> item = toWrite.pop())
            writeOne(std::move(*item));
    });

    bool stopped = false;
    while (std::optional<Decoded> item = decoded.pop()) {
        if ((cancel && cancel->load()) || stopNow.load()) {
            stopped = true;
            break;
        }
        Finished finished = upscaleOne(std::move(*item), int(paths.size()));
        const bool abandoned = finished.report.status == Outcome::Cancelled;
        toWrite.push(std::move(finished));
        if (abandoned) {
            stopped = true;
            break;
        }
    }
    // A decoder waiting to hand over a picture that nobody will take gives up; the writer finishes
    // what is queued.
    decoded.close();
    toWrite.close();
    decoder.join();
    writer.join();
    // Pictures are reported in list order, so those never started are the ones after the last report.
    for (int i = reported; i < paths.size(); ++i) {
        PictureReport report;
        report.index = i;
        report.input = paths.at(i);
        report.status = Outcome::NotStarted;
        finish(std::move(report));
    }
    if (stopped)
        result.cancelled = true;
    setState(State::Finished);
}

void BatchJob::finish(PictureReport report)
{
    switch (report.status) {
    case Outcome::Done:
        result.written.append(report.output);
        if (!report.note.isEmpty())
            result.notes.append({report.input, report.note});
        emit fileWritten(report.output);
        break;
    case Outcome::Failed:
    case Outcome::OutOfMemory:
    case Outcome::DeviceLost:
        qDebug() << "failed:" << report.input << report.reason;
        result.failures.append({report.input, report.reason});
        emit fileFailed(report.input, report.reason);
        break;
    case Outcome::Cancelled:
    case Outcome::NotStarted:
        result.cancelled = true;
        break;
    }
    reported = report.index + 1;
    emit pictureFinished(report);
}

BatchJob::Finished BatchJob::upscaleOne(Decoded item, int total)
{
    QElapsedTimer clock;
    clock.start();
    const WorkingOn picture(item.index);
    Finished finished;
    finished.folder = item.folder;
    PictureReport &report = finished.report;
    report.index = item.index;
    report.input = item.path;
    auto ended = [&](PictureReport::Status status, const QString &reason = {}) {
        report.status = status;
        report.reason = reason;
        finished.busyNs = item.busyNs + clock.nsecsElapsed();
        return std::move(finished);
    };

    emit pictureStarted(item.index, total, item.path);
    if (item.input.image.isNull()) {
        report.transient = item.input.problem == InputProblem::Missing;
        return ended(Outcome::Failed, item.input.error);
    }

    report.sourceSize = item.input.image.size();
    ProgressObserver observer;
    // Of the plan under way, for the progress within a tile.
    struct {
        int done = 0, total = 0, percent = 0;
    } tiles;
    observer.planStarted = [this, &tiles](const TilePlan &plan) {
        tiles = {0, plan.tileCount(), 0};
        emit tileProgress(0, plan.tileCount());
    };
    QElapsedTimer networkClock;
    networkClock.start();
    // Reported by the share of the tile's time, which the share of its layers only approximates.
    observer.tileAdvanced = [this, &tiles, &networkClock](double share) {
        const double time = layerTimes.layersDone(share, networkClock.nsecsElapsed());
        const int percent = int(time * 100);
        if (percent <= tiles.percent || tiles.total <= 0 || tiles.done >= tiles.total)
            return;
        tiles.percent = percent;
        emit tileAdvanced(tiles.done + percent / 100.0, tiles.total);
    };
    observer.tileStarted = [this, index = item.index, &networkClock](const TilePlan &, const Tile &tile) {
        layerTimes.tileStarted(networkClock.nsecsElapsed());
        emit statusChanged(index, formText("Processing Tile (%1, %2)").arg(tile.x).arg(tile.y));
    };
    const bool wantsTiles = isSignalConnected(QMetaMethod::fromSignal(&BatchJob::tileFinished));
    observer.tileFinished = [this, wantsTiles, &tiles, &networkClock](const TilePlan &plan, const Tile &tile,
                                                                      const QImage &part,
                                                                      const QRect &where) {
        layerTimes.tileFinished(networkClock.nsecsElapsed());
        tiles.done = tile.number;
        tiles.percent = 0;
        emit tileProgress(tile.number, plan.tileCount());
        if (wantsTiles && !part.isNull())
            emit tileFinished(part, where);
    };
    SizePlan plan;
    UpscaleResult upscaled = upscaleAndFinish(*upscaler, item.input, finishing, observer, &stopNow, &plan);
    // The decoded input is not needed any more while the result waits for the writer.
    item.input.image = QImage();
    switch (upscaled.status) {
    case Outcome::Done:
        break;
    case Outcome::Cancelled:
        return ended(Outcome::Cancelled);
    case Outcome::DeviceLost:
        report.transient = true;
        return ended(Outcome::DeviceLost, QStringLiteral("the GPU was lost: ") + upscaled.reason);
    case Outcome::OutOfMemory:
        report.transient = true;
        return ended(Outcome::OutOfMemory,
                     QStringLiteral("out of memory even with the smallest tiles: ") + upscaled.reason);
    case Outcome::Failed:
    case Outcome::NotStarted:
        return ended(Outcome::Failed,
                     upscaled.reason.isEmpty() ? QStringLiteral("no result") : upscaled.reason);
    }
    report.note = item.input.note;
    finished.result = std::move(item.input);
    finished.result.image = std::move(upscaled.image);
    finished.result.channels = upscaled.channels;
    markAsResult(finished.result.image, item.path);
    if (plan.resizes())
        report.networkSize = plan.networkSize;
    report.status = Outcome::Done; // once the writer has written it
    finished.busyNs = item.busyNs + clock.nsecsElapsed();
    return finished;
}

void BatchJob::writeOne(Finished item)
{
    const QString target = item.folder;
    QElapsedTimer clock;
    clock.start();
    const WorkingOn picture(item.report.index);
    PictureReport &report = item.report;
    if (!item.result.image.isNull()) {
        const QString writing = formText("Encoding final pixels and writing to disk...");
        emit statusChanged(report.index, writing);
        // The job's own folder was checked before the batch; a mirrored subfolder is made here.
        const Problem problem = target == folder ? Problem() : createFolder(target);
        WriteResult written;
        written.error = engineText("could not be written: %1").arg(problem.words());
        if (!problem) {
            cleanUpOnce(target);
            PictureToWrite toWrite;
            toWrite.result = item.result;
            toWrite.folder = target;
            toWrite.inputPath = report.input;
            toWrite.format = outputFormat;
            const int index = report.index;
            toWrite.progress = [this, index, writing](int percent) {
                emit writeProgress(index, percent);
                emit statusChanged(index,
                                   writing + QLatin1Char(' ') + QString::number(percent) + QLatin1Char('%'));
            };
            written = stages.write(toWrite);
        }
        if (written.ok()) {
            report.output = written.path;
            report.size = item.result.image.size();
            if (!written.note.isEmpty())
                report.note =
                    report.note.isEmpty() ? written.note : report.note + QStringLiteral("; ") + written.note;
        } else {
            report.status = Outcome::Failed;
            report.reason = written.error;
            report.transient = written.transient;
        }
        item.result.image = QImage();
    }
    report.seconds = double(item.busyNs + clock.nsecsElapsed()) / 1e9;
    finish(std::move(report));
}

void BatchJob::cleanUpOnce(const QString &target)
{
    if (cleanedFolders.contains(target))
        return;
    cleanedFolders << target;
    if (const int removed = removeStalePartFiles(target))
        qDebug() << "removed" << removed << "part files left behind in" << target;
}

} // namespace engine
