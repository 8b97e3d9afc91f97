#include "workspace/engine/batchJob.h"

#include "workspace/engine/boundedQueue.h"

#include "workspace/engine/imageInput.h"
#include "workspace/engine/outputNaming.h"
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

QString tr(const char *text)
{
    return QCoreApplication::translate("PelmoraForm", text);
}

} // namespace

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
            lines << tr("and %1 more").arg(entries.size() - kNamesShown);
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
    const QString question = tr("Open the output folder?");
    const QString notes =
        summary.notes.isEmpty()
            ? QString()
            : fileList(tr("Please note:"), summary.notes, [](const BatchNote &entry) { return entry.note; });
    if (summary.failures.isEmpty() && !summary.cancelled) {
        if (notes.isEmpty())
            return tr("Your upscaled image is ready.") + QLatin1Char('\n') + question;
        return tr("Your upscaled image is ready.") + notes + QLatin1Char('\n') + question;
    }

    const QString count = tr("%1 of %2 images were written.").arg(summary.written.size()).arg(summary.total);
    QString text = summary.cancelled ? QString(tr("Cancelled.") + QLatin1Char(' ') + count) : count;
    if (!summary.failures.isEmpty())
        text += fileList(tr("These files could not be upscaled:"), summary.failures,
                         [](const BatchFailure &entry) { return entry.reason; });
    return text + notes + QLatin1Char('\n') + question;
}

static_assert(std::atomic<bool>::is_always_lock_free, "stopAtNextTile() must be safe in a signal handler");

BatchJob::BatchJob(QString outputFolder, std::shared_ptr<const Upscaler> upscaler,
                   const std::atomic<bool> &cancelRequested, QObject *parent)
    : QObject(parent), folder(std::move(outputFolder)), upscaler(std::move(upscaler)),
      cancel(cancelRequested), stages{loadInputImage, writeNewPicture}
{
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
    LoadedImage input;
    QElapsedTimer clock; // started when its decoding began
};

struct BatchJob::Finished {
    PictureReport report;
    QImage image; // still to be written, unless the report is already final
    bool grey = false;
    QElapsedTimer clock;
};

void BatchJob::setStages(Stages replacement)
{
    if (replacement.load)
        stages.load = std::move(replacement.load);
    if (replacement.write)
        stages.write = std::move(replacement.write);
}

void BatchJob::run(const QStringList &paths)
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
            Decoded item;
            item.clock.start();
            item.index = i;
            item.path = paths.at(i);
            item.input = stages.load(item.path);
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
        if (cancel.load() || stopNow.load()) {
            stopped = true;
            break;
        }
        Finished finished = upscaleOne(std::move(*item), int(paths.size()));
        const bool abandoned = finished.report.status == PictureReport::Status::Cancelled;
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
    if (stopped)
        result.cancelled = true;
    setState(State::Finished);
}

void BatchJob::finish(PictureReport report)
{
    switch (report.status) {
    case PictureReport::Status::Written:
        result.written.append(report.output);
        if (!report.note.isEmpty())
            result.notes.append({report.input, report.note});
        emit fileWritten(report.output);
        break;
    case PictureReport::Status::Failed:
        qDebug() << "failed:" << report.input << report.reason;
        result.failures.append({report.input, report.reason});
        emit fileFailed(report.input, report.reason);
        break;
    case PictureReport::Status::Cancelled:
        result.cancelled = true;
        break;
    }
    emit pictureFinished(report);
}

BatchJob::Finished BatchJob::upscaleOne(Decoded item, int total)
{
    Finished finished;
    finished.clock = item.clock;
    PictureReport &report = finished.report;
    report.index = item.index;
    report.input = item.path;
    auto ended = [&](PictureReport::Status status, const QString &reason = {}) {
        report.status = status;
        report.reason = reason;
        return std::move(finished);
    };

    emit pictureStarted(item.index, total, item.path);
    if (item.input.image.isNull())
        return ended(PictureReport::Status::Failed, item.input.error);

    UpscaleObserver observer;
    observer.planStarted = [this](int tiles, QSize) {
        emit tileProgress(0, tiles);
    };
    observer.tileStarted = [this](int x, int y) {
        emit statusChanged(tr("Processing Tile (%1, %2)").arg(x).arg(y));
    };
    const bool wantsTiles = isSignalConnected(QMetaMethod::fromSignal(&BatchJob::tileFinished));
    observer.tileFinished = [this, wantsTiles](int tilesDone, int tiles, const QImage &tile,
                                               const QRect &where) {
        emit tileProgress(tilesDone, tiles);
        if (wantsTiles && !tile.isNull())
            emit tileFinished(tile, where);
    };
    UpscaleResult upscaled = upscaler->upscale(
        item.input.image, observer, [this] { return stopNow.load(); }, item.input.grey);
    // The decoded input is not needed any more while the result waits for the writer.
    item.input.image = QImage();
    switch (upscaled.status) {
    case UpscaleResult::Status::Ok:
        break;
    case UpscaleResult::Status::Cancelled:
        return ended(PictureReport::Status::Cancelled);
    case UpscaleResult::Status::OutOfMemory:
        return ended(PictureReport::Status::Failed,
                     QStringLiteral("out of memory even with the smallest tiles: ") + upscaled.reason);
    case UpscaleResult::Status::Failed:
        return ended(PictureReport::Status::Failed,
                     upscaled.reason.isEmpty() ? QStringLiteral("no result") : upscaled.reason);
    }
    finished.image = std::move(upscaled.image);
    finished.grey = upscaled.grey;
    report.note = item.input.note;
    report.status = PictureReport::Status::Written; // once the writer has written it
    return finished;
}

void BatchJob::writeOne(Finished item)
{
    PictureReport &report = item.report;
    if (!item.image.isNull()) {
        const QString writing = tr("Encoding final pixels and writing to disk...");
        emit statusChanged(writing);
        PictureToWrite picture;
        picture.image = item.image;
        picture.grey = item.grey;
        picture.folder = folder;
        picture.inputPath = report.input;
        picture.format = outputFormat;
        const int index = report.index;
        picture.progress = [this, index, writing](int percent) {
            emit writeProgress(index, percent);
            emit statusChanged(writing + QLatin1Char(' ') + QString::number(percent) + QLatin1Char('%'));
        };
        const WriteResult written = stages.write(picture);
        if (written.ok()) {
            report.output = written.path;
            report.size = item.image.size();
            if (!written.note.isEmpty())
                report.note =
                    report.note.isEmpty() ? written.note : report.note + QStringLiteral("; ") + written.note;
        } else {
            report.status = PictureReport::Status::Failed;
            report.reason = written.error;
        }
        item.image = QImage();
    }
    report.seconds = double(item.clock.nsecsElapsed()) / 1e9;
    finish(std::move(report));
}

} // namespace engine
