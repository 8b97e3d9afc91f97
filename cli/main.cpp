// brivelle-cli: the upscaler of Brivelle AI without the window.
#include "base/platform/platform.h"
#include "base/version.h"
#include "cli/cliOptions.h"
#include "cli/cliReporter.h"
#include "cli/inputList.h"
#include "cli/networkChoice.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/fileProblems.h"
#include "workspace/engine/partFile.h"
#include "workspace/engine/resultMark.h"
#include "workspace/engine/upscaler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHash>
#include <QImageReader>
#include <QLoggingCategory>
#include <QtConcurrent>

#include <atomic>
#include <csignal>
#include <cstdio>

#include <ncnn/gpu.h>
#include <unistd.h>

namespace {

enum ExitCode { kAllWritten = 0, kSomeFailed = 1, kUsage = 2, kInterrupted = 130 };

std::atomic<int> stopSignals{0};
std::atomic<engine::BatchJob *> runningJob{nullptr};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<engine::BatchJob *>::is_always_lock_free,
              "read in a signal handler");

// Only lock-free atomics and async-signal-safe calls in here. The first signal stops the picture
// under way within a layer of the network and lets finished ones be written; a second one abandons
// those writes too, removing their part files, and ends the process at once.
void onStopSignal(int)
{
    if (stopSignals.fetch_add(1) == 0) {
        if (engine::BatchJob *job = runningJob.load())
            job->requestStop();
        return;
    }
    engine::removePartFilesNow();
    static const char text[] = "\nbrivelle-cli: stopped at once, results being written were abandoned\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text, sizeof text - 1);
    ::_exit(kInterrupted);
}

void installStopHandlers()
{
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A closed standard output shows as a failed write, which stops the run with a message,
    // instead of ending the process silently in the middle of a write.
    std::signal(SIGPIPE, SIG_IGN);
}

MessageLog messageLog;
bool verboseMessages = false;

// Library messages go with the picture whose decoding or writing printed them, never straight onto
// the progress line.
void onQtMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtFatalMsg) {
        const QByteArray bytes = printableText(text).toLocal8Bit() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
        std::abort();
    }
    if (type == QtDebugMsg && !verboseMessages)
        return;
    messageLog.add(engine::BatchJob::pictureOfThisThread(), text);
}

void printTo(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

int usageError(const QString &message)
{
    printTo(stderr, QStringLiteral("brivelle-cli: %1\nTry 'brivelle-cli --help' for more information.\n")
                        .arg(printableText(message)));
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

// The inputs of the command line and of a --files-from list, in that order.
bool readInputNames(const CliOptions &options, QStringList *names, QString *error)
{
    *names = options.inputs;
    if (options.filesFrom.isEmpty())
        return true;
    QFile list;
    const bool opened = options.filesFrom == QLatin1String("-")
                            ? list.open(stdin, QIODevice::ReadOnly)
                            : (list.setFileName(options.filesFrom), list.open(QIODevice::ReadOnly));
    if (!opened) {
        *error = QStringLiteral("cannot read the list %1: %2").arg(options.filesFrom, list.errorString());
        return false;
    }
    *names += splitFileList(list.readAll(), options.nulSeparated);
    return true;
}

int run(const CliOptions &options)
{
    // The output folder is checked first: no picture is computed for results that could not be saved.
    const QString output =
        QDir(options.outputFolder.isEmpty() ? QDir::currentPath() : options.outputFolder).absolutePath();
    if (const QString problem = engine::createFolder(output); !problem.isEmpty())
        return usageError(QStringLiteral("cannot write into the output folder %1: %2")
                              .arg(QDir::toNativeSeparators(output), problem));
    engine::removeStalePartFiles(output);

    QStringList names;
    QString error;
    if (!readInputNames(options, &names, &error))
        return usageError(error);

    engine::Upscaler::Config config = networkConfig(options);
    config.device = options.device;
    config.fixedTileSize = options.tileSize;
    if (options.device.isGpu() && options.device.gpuIndex >= ncnn::get_gpu_count())
        return usageError(
            ncnn::get_gpu_count() == 0
                ? QStringLiteral("no GPU found (see --list-devices)")
                : QStringLiteral("there is no gpu:%1 (see --list-devices)").arg(options.device.gpuIndex));
    const std::shared_ptr<const engine::Upscaler> upscaler = engine::Upscaler::load(config, &error);
    if (!upscaler)
        return usageError(networkLoadError(config, error));
    if (stopSignals.load() > 0)
        return kInterrupted;

    Reporter reporter(options, messageLog, isatty(STDERR_FILENO) != 0);
    const InputList inputs = collectInputs(names);
    for (const RefusedInput &refused : inputs.refused)
        reporter.refused(refused);

    QStringList pictures;
    QStringList folders;
    int skipped = 0;
    QHash<QString, std::shared_ptr<engine::ResultIndex>> results;
    for (int i = 0; i < inputs.pictures.size(); ++i) {
        const QString &path = inputs.pictures.at(i);
        const QString folder = options.keepTree && !inputs.subfolders.at(i).isEmpty()
                                   ? QDir(output).filePath(inputs.subfolders.at(i))
                                   : output;
        if (options.skipExisting) {
            std::shared_ptr<engine::ResultIndex> &index = results[folder];
            if (!index)
                index = std::make_shared<engine::ResultIndex>(folder);
            if (const QString result = index->resultOf(path); !result.isEmpty()) {
                reporter.skipped(path, result);
                ++skipped;
                continue;
            }
        }
        pictures << path;
        folders << folder;
    }

    bool outputClosed = false;
    engine::BatchJob job(output, upscaler);
    job.setOutputFormat(options.format);
    job.setFinishing(options.finishing);
    reporter.outputClosed = [&] {
        outputClosed = true;
        reporter.error(QStringLiteral("brivelle-cli: standard output was closed: stopping"));
        job.requestStop();
    };
    QObject::connect(
        &job, &engine::BatchJob::pictureStarted, &job,
        [&](int index, int total, const QString &path) { reporter.pictureStarted(index, total, path); });
    QObject::connect(&job, &engine::BatchJob::tileProgress, &job,
                     [&](int done, int total) { reporter.tileProgress(done, total); });
    QObject::connect(&job, &engine::BatchJob::statusChanged, &job,
                     [&](int index, const QString &text) { reporter.statusChanged(index, text); });
    QObject::connect(&job, &engine::BatchJob::pictureFinished, &job,
                     [&](const engine::PictureReport &report) { reporter.finished(report); });
    reporter.batchStarted(pictures, upscaler->tileSize(), upscaler->inputMultiple());

    runningJob.store(&job);
    if (stopSignals.load() > 0)
        job.requestStop();
    QFutureWatcher<void> watcher;
    QObject::connect(&watcher, &QFutureWatcher<void>::finished, qApp, &QCoreApplication::quit);
    watcher.setFuture(QtConcurrent::run([&job, pictures, folders] { job.run(pictures, folders); }));
    QCoreApplication::exec();
    runningJob.store(nullptr);
    reporter.flushMessages();

    const int written = int(job.summary().written.size()) + skipped;
    const int all = int(inputs.pictures.size() + inputs.refused.size());
    if (stopSignals.load() > 0) {
        reporter.error(QStringLiteral("stopped: %1 of %2 written").arg(written).arg(all));
        return kInterrupted;
    }
    if (outputClosed)
        return kSomeFailed;
    const int failed = int(job.summary().failures.size() + inputs.refused.size());
    if (failed > 0) {
        reporter.error(QStringLiteral("%1 of %2 written, %3 failed").arg(written).arg(all).arg(failed));
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
    verboseMessages = options.verbosity == CliOptions::Verbosity::Verbose;
    qInstallMessageHandler(onQtMessage);
    // Decoding may take what the machine has free, not a fixed amount: camera photos are large.
    QImageReader::setAllocationLimit(engine::decodeLimitMb(Platform::availablePhysicalMemory()));
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
