#include "workspace/engine/batchJob.h"

#include "workspace/engine/imageInput.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/pngOutput.h"
#include "workspace/engine/upscaler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMetaMethod>

namespace engine {

namespace {

QString tr(const char *text)
{
    return QCoreApplication::translate("PelmoraForm", text);
}

} // namespace

QString completionText(const BatchSummary &summary)
{
    const QString question = tr("Open the output folder?");
    if (summary.failures.isEmpty())
        return tr("Your upscaled image is ready.") + QLatin1Char('\n') + question;

    // A long list would push the buttons off the screen.
    constexpr int kNamesShown = 10;
    QStringList names;
    for (const BatchFailure &failure : summary.failures) {
        if (names.size() == kNamesShown) {
            names << tr("and %1 more").arg(summary.failures.size() - kNamesShown);
            break;
        }
        names << QFileInfo(failure.path).fileName();
    }
    // Blank lines keep the count, the names and the question apart.
    return tr("%1 of %2 images were written.").arg(summary.written.size()).arg(summary.total) +
           QStringLiteral("\n\n") + tr("These files could not be upscaled:") + QLatin1Char('\n') +
           names.join(QLatin1Char('\n')) + QStringLiteral("\n\n") + question;
}

static_assert(std::atomic<bool>::is_always_lock_free, "stopAtNextTile() must be safe in a signal handler");

BatchJob::BatchJob(QString outputFolder, std::shared_ptr<const Upscaler> upscaler,
                   const std::atomic<bool> &cancelRequested, QObject *parent)
    : QObject(parent), folder(std::move(outputFolder)), upscaler(std::move(upscaler)), cancel(cancelRequested)
{
    qRegisterMetaType<engine::PictureReport>();
}

BatchJob::~BatchJob() = default;

void BatchJob::setState(State state)
{
    currentState.store(state);
    emit stateChanged(state);
}

void BatchJob::run(const QStringList &paths)
{
    if (state() != State::Idle)
        return;
    setState(State::Running);
    result.total = int(paths.size());
    for (int i = 0; i < paths.size(); ++i) {
        if (cancel.load() || stopNow.load()) {
            result.cancelled = true;
            break;
        }
        processOne(i, paths);
    }
    setState(State::Finished);
}

void BatchJob::finish(PictureReport report)
{
    switch (report.status) {
    case PictureReport::Status::Written:
        result.written.append(report.output);
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

void BatchJob::processOne(int index, const QStringList &paths)
{
    QElapsedTimer clock;
    clock.start();
    PictureReport report;
    report.index = index;
    report.input = paths.at(index);
    auto done = [&](PictureReport::Status status, const QString &reason = {}) {
        report.status = status;
        report.reason = reason;
        report.seconds = double(clock.nsecsElapsed()) / 1e9;
        finish(report);
    };

    emit pictureStarted(index, int(paths.size()), report.input);
    const LoadedImage input = loadInputImage(report.input);
    if (input.image.isNull())
        return done(PictureReport::Status::Failed, input.error);

    UpscaleObserver observer;
    observer.planStarted = [this](int tiles, QSize) {
        emit tileProgress(0, tiles);
    };
    observer.tileStarted = [this](int x, int y) {
        emit statusChanged(tr("Processing Tile (%1, %2)").arg(x).arg(y));
    };
    const bool wantsTiles = isSignalConnected(QMetaMethod::fromSignal(&BatchJob::tileFinished));
    observer.tileFinished = [this, wantsTiles](int tilesDone, int total, const QImage &tile,
                                               const QRect &where) {
        emit tileProgress(tilesDone, total);
        if (wantsTiles && !tile.isNull())
            emit tileFinished(tile, where);
    };
    const UpscaleResult upscaled =
        upscaler->upscale(input.image, observer, [this] { return stopNow.load(); });
    switch (upscaled.status) {
    case UpscaleResult::Status::Ok:
        break;
    case UpscaleResult::Status::Cancelled:
        return done(PictureReport::Status::Cancelled);
    case UpscaleResult::Status::OutOfMemory:
        return done(PictureReport::Status::Failed,
                    QStringLiteral("out of memory even with the smallest tiles: ") + upscaled.reason);
    case UpscaleResult::Status::Failed:
        return done(PictureReport::Status::Failed,
                    upscaled.reason.isEmpty() ? QStringLiteral("no result") : upscaled.reason);
    }

    emit statusChanged(tr("Encoding final pixels and writing to disk..."));
    const PngWriteResult written = writeNewPng(upscaled.image, folder, report.input);
    if (!written.ok())
        return done(PictureReport::Status::Failed, written.error);
    report.output = written.path;
    report.size = upscaled.image.size();
    done(PictureReport::Status::Written);
}

} // namespace engine
