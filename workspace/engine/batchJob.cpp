#include "workspace/engine/batchJob.h"

#include "workspace/engine/imageInput.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/pngOutput.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>

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
    if (summary.failures.isEmpty() && !summary.cancelled)
        return tr("Your upscaled image is ready.") + QLatin1Char('\n') + question;

    const QString count = tr("%1 of %2 images were written.").arg(summary.written.size()).arg(summary.total);
    QString text = summary.cancelled ? QString(tr("Cancelled.") + QLatin1Char(' ') + count) : count;
    if (!summary.failures.isEmpty()) {
        // A long list would push the buttons off the screen.
        constexpr int kNamesShown = 10;
        QStringList lines;
        for (const BatchFailure &failure : summary.failures) {
            if (lines.size() == kNamesShown) {
                lines << tr("and %1 more").arg(summary.failures.size() - kNamesShown);
                break;
            }
            lines << QFileInfo(failure.path).fileName() + QStringLiteral(" \u2013 ") + failure.reason;
        }
        // Blank lines keep the count, the names and the question apart.
        text += QStringLiteral("\n\n") + tr("These files could not be upscaled:") + QLatin1Char('\n') +
                lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
    }
    return text + QLatin1Char('\n') + question;
}

BatchJob::BatchJob(QString outputFolder, Upscaler upscaler, const std::atomic<bool> &cancelRequested,
                   QObject *parent)
    : QObject(parent), folder(std::move(outputFolder)), upscale(std::move(upscaler)), cancel(cancelRequested)
{}

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
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (cancel.load()) {
            result.cancelled = true;
            break;
        }
        emit fileStarted(QString::number(i + 1) + QStringLiteral(" of ") + QString::number(paths.size()) +
                         QStringLiteral(": ") + displayName(paths.at(i)));
        processOne(paths.at(i));
    }
    setState(State::Finished);
}

void BatchJob::processOne(const QString &path)
{
    auto fail = [&](const QString &reason) {
        qDebug() << "failed:" << path << reason;
        result.failures.append({path, reason});
        emit fileFailed(path, reason);
    };

    const LoadedImage input = loadInputImage(path);
    if (input.image.isNull()) {
        fail(input.error);
        return;
    }
    QString error;
    const QImage output = upscale(input.image, &error);
    if (output.isNull()) {
        fail(error.isEmpty() ? QStringLiteral("no result") : error);
        return;
    }
    emit statusChanged(tr("Encoding final pixels and writing to disk..."));
    const PngWriteResult written = writeNewPng(output, folder, path);
    if (!written.ok()) {
        fail(written.error);
        return;
    }
    result.written.append(written.path);
    emit fileWritten(written.path);
}

} // namespace engine
