// brivelle-cli: the upscaler of Brivelle AI without the window.
#include "app/AppInfo.h"
#include "app/version.h"
#include "cli/cliOptions.h"
#include "cli/inputList.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/upscaler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QtConcurrent>

#include <atomic>
#include <csignal>
#include <cstdio>

#include <ncnn/gpu.h>
#include <unistd.h>

namespace {

enum ExitCode { kAllWritten = 0, kSomeFailed = 1, kUsage = 2, kInterrupted = 130 };

std::atomic<bool> interrupted{false};
std::atomic<engine::BatchJob *> runningJob{nullptr};

// Only lock-free atomics in here. SA_RESETHAND puts the default back, so a second Ctrl-C ends the
// process at once.
void onStopSignal(int)
{
    interrupted.store(true);
    if (engine::BatchJob *job = runningJob.load())
        job->stopAtNextTile();
}

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

void printTo(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(const QString &message)
{
    printTo(
        stderr,
        QStringLiteral("brivelle-cli: %1\nTry 'brivelle-cli --help' for more information.\n").arg(message));
    return kUsage;
}

QString versionText()
{
    return QStringLiteral("brivelle-cli %1.%2.%3\n").arg(majorVersion).arg(minorVersion).arg(subMinorVersion);
}

int listDevices()
{
    QString text = QStringLiteral("cpu\tthe processor\n");
    const int count = ncnn::get_gpu_count();
    for (int i = 0; i < count; ++i) {
        const ncnn::GpuInfo &info = ncnn::get_gpu_info(i);
        static const char *const kinds[] = {"discrete", "integrated", "virtual", "CPU, software"};
        const int type = info.type();
        text += QStringLiteral("gpu:%1\t%2 (%3)\n")
                    .arg(i)
                    .arg(QString::fromUtf8(info.device_name()),
                         QLatin1String(type >= 0 && type < 4 ? kinds[type] : "other"));
    }
    printTo(stdout, text);
    return kAllWritten;
}

// stderr: one line per finished file, and the tile progress of the current one: rewritten in place on
// a terminal, plain lines (every tenth of the picture) otherwise.
class Reporter {
public:
    Reporter(bool json, int total) : json(json), total(total), terminal(isatty(STDERR_FILENO) != 0) {}

    void pictureStarted(int index, const QString &path)
    {
        current = QStringLiteral("[%1/%2] %3").arg(index + 1).arg(total).arg(QFileInfo(path).fileName());
        labels.insert(index, current);
        lastTenth = -1;
    }

    // The result is encoded while the next picture may already be in the network.
    void writing(int index, int percent)
    {
        const QString line = QStringLiteral("%1: writing %2%").arg(labels.value(index)).arg(percent);
        if (terminal) {
            printTo(stderr, QStringLiteral("\r\033[K") + line);
            progressShown = true;
        } else if (percent == 0) {
            printTo(stderr, QStringLiteral("%1: writing\n").arg(labels.value(index)));
        }
    }

    void tileProgress(int done, int tiles)
    {
        if (tiles <= 0)
            return;
        const QString line = QStringLiteral("%1: tile %2 of %3").arg(current).arg(done).arg(tiles);
        if (terminal) {
            printTo(stderr, QStringLiteral("\r\033[K") + line);
            progressShown = true;
            return;
        }
        const int tenth = done * 10 / tiles;
        if (tenth != lastTenth) {
            lastTenth = tenth;
            printTo(stderr, line + QLatin1Char('\n'));
        }
    }

    void finished(const engine::PictureReport &report)
    {
        using Status = engine::PictureReport::Status;
        QString line;
        if (report.status == Status::Written)
            line = QStringLiteral("written %1 -> %2 (%3x%4, %5 s)")
                       .arg(report.input, report.output)
                       .arg(report.size.width())
                       .arg(report.size.height())
                       .arg(report.seconds, 0, 'f', 2);
        else if (report.status == Status::Failed)
            line = QStringLiteral("failed %1: %2").arg(report.input, report.reason);
        else
            line = QStringLiteral("stopped %1: nothing written").arg(report.input);
        labels.remove(report.index);
        printLine(line);
        if (!report.note.isEmpty())
            printLine(QStringLiteral("note %1: %2").arg(report.input, report.note));
        if (json)
            printJson(report);
    }

    void missing(const QString &path)
    {
        printLine(QStringLiteral("failed %1: no such file or folder").arg(path));
        if (json) {
            engine::PictureReport report;
            report.input = path;
            report.reason = QStringLiteral("no such file or folder");
            printJson(report);
        }
    }

    void printLine(const QString &line)
    {
        if (progressShown)
            printTo(stderr, QStringLiteral("\r\033[K"));
        progressShown = false;
        printTo(stderr, line + QLatin1Char('\n'));
    }

private:
    static void printJson(const engine::PictureReport &report)
    {
        using Status = engine::PictureReport::Status;
        QJsonObject object{
            {QStringLiteral("input"), report.input},
            {QStringLiteral("output"), report.output.isEmpty() ? QJsonValue() : QJsonValue(report.output)},
            {QStringLiteral("size"), report.size.isEmpty()
                                         ? QJsonValue()
                                         : QJsonValue(QJsonArray{report.size.width(), report.size.height()})},
            {QStringLiteral("seconds"), report.seconds},
            {QStringLiteral("status"), report.status == Status::Written  ? QStringLiteral("written")
                                       : report.status == Status::Failed ? QStringLiteral("failed")
                                                                         : QStringLiteral("cancelled")},
        };
        if (!report.reason.isEmpty())
            object.insert(QStringLiteral("reason"), report.reason);
        if (!report.note.isEmpty())
            object.insert(QStringLiteral("note"), report.note);
        const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
    }

    const bool json;
    const int total;
    const bool terminal;
    QString current;
    QHash<int, QString> labels; // of the pictures started and not yet finished
    int lastTenth = -1;
    bool progressShown = false;
};

int run(const CliOptions &options)
{
    engine::Upscaler::Config config;
    config.modelFolder = options.modelFolder.isEmpty() ? AppInfo::installFolder() : options.modelFolder;
    config.scale = options.scale;
    config.device = options.device;
    config.fixedTileSize = options.tileSize;
    if (options.device.isGpu() && options.device.gpuIndex >= ncnn::get_gpu_count())
        return usageError(
            ncnn::get_gpu_count() == 0
                ? QStringLiteral("no GPU found (see --list-devices)")
                : QStringLiteral("there is no gpu:%1 (see --list-devices)").arg(options.device.gpuIndex));
    QString error;
    const std::shared_ptr<const engine::Upscaler> upscaler = engine::Upscaler::load(config, &error);
    if (!upscaler)
        return usageError(QStringLiteral("the x%1 model does not load from %2: %3")
                              .arg(options.scale)
                              .arg(QDir::toNativeSeparators(config.modelFolder), error));

    const QString output =
        QDir(options.outputFolder.isEmpty() ? QDir::currentPath() : options.outputFolder).absolutePath();
    if (!QDir().mkpath(output) || !QFileInfo(output).isDir())
        return usageError(
            QStringLiteral("cannot create the output folder %1").arg(QDir::toNativeSeparators(output)));

    const InputList inputs = collectInputs(options.inputs);
    Reporter reporter(options.json, int(inputs.pictures.size()));
    for (const QString &folder : inputs.emptyFolders)
        reporter.printLine(QStringLiteral("no pictures in %1").arg(folder));
    for (const QString &path : inputs.missing)
        reporter.missing(path);

    std::atomic<bool> neverBetweenPictures{false};
    engine::BatchJob job(output, upscaler, neverBetweenPictures);
    job.setOutputFormat(options.format);
    QObject::connect(&job, &engine::BatchJob::writeProgress, &job,
                     [&](int index, int percent) { reporter.writing(index, percent); });
    QObject::connect(&job, &engine::BatchJob::pictureStarted, &job,
                     [&](int index, int, const QString &path) { reporter.pictureStarted(index, path); });
    QObject::connect(&job, &engine::BatchJob::tileProgress, &job,
                     [&](int done, int total) { reporter.tileProgress(done, total); });
    QObject::connect(&job, &engine::BatchJob::pictureFinished, &job,
                     [&](const engine::PictureReport &report) { reporter.finished(report); });

    runningJob.store(&job);
    if (interrupted.load())
        job.stopAtNextTile();
    QFutureWatcher<void> watcher;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, qApp, &QCoreApplication::quit);
    watcher.setFuture(QtConcurrent::run([&job, pictures = inputs.pictures] { job.run(pictures); }));
    QCoreApplication::exec();
    runningJob.store(nullptr);

    if (interrupted.load()) {
        reporter.printLine(QStringLiteral("stopped: %1 of %2 written")
                               .arg(job.summary().written.size())
                               .arg(inputs.pictures.size()));
        return kInterrupted;
    }
    const int failed = int(job.summary().failures.size() + inputs.missing.size());
    if (failed > 0) {
        reporter.printLine(QStringLiteral("%1 of %2 written, %3 failed")
                               .arg(job.summary().written.size())
                               .arg(inputs.pictures.size() + inputs.missing.size())
                               .arg(failed));
        return kSomeFailed;
    }
    return kAllWritten;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brivelle-cli"));
    // The engine's debug lines are for the window's log; QT_LOGGING_RULES still turns them back on.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    installStopHandlers();

    const CliOptions options = parseCliOptions(QCoreApplication::arguments());
    switch (options.action) {
    case CliOptions::Action::Error:
        return usageError(options.error);
    case CliOptions::Action::Help:
        printTo(stdout, cliHelpText());
        return kAllWritten;
    case CliOptions::Action::Version:
        printTo(stdout, versionText());
        return kAllWritten;
    case CliOptions::Action::ListDevices:
    case CliOptions::Action::Run:
        break;
    }
    // The device list exists only while the GPU instance does; every network goes before it.
    ncnn::create_gpu_instance();
    const int code = options.action == CliOptions::Action::ListDevices ? listDevices() : run(options);
    ncnn::destroy_gpu_instance();
    return code;
}
