// brivelle-cli: the upscaler of Brivelle AI without the window.
#include "base/AppInfo.h"
#include "base/nativeName.h"
#include "base/platform/platform.h"
#include "base/vendorserver.h"
#include "base/version.h"
#include "cli/cliOptions.h"
#include "cli/cliReporter.h"
#include "cli/inputList.h"
#include "cli/manifest.h"
#include "cli/networkChoice.h"
#include "cli/shard.h"
#include "cli/streams.h"
#include "imageformats/imageFormats.h"
#include "workspace/engine/batchJob.h"
#include "workspace/engine/fileProblems.h"
#include "workspace/engine/outputNaming.h"
#include "workspace/engine/partFile.h"
#include "workspace/engine/resultMark.h"
#include "workspace/engine/upscaler.h"
#include "workspace/models/modelDescription.h"
#include "workspace/models/modelDownloader.h"
#include "workspace/models/modelFiles.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <ncnn/gpu.h>
#include <unistd.h>

namespace {

enum ExitCode { kAllWritten = 0, kSomeFailed = 1, kUsage = 2, kRetryMayMend = 75, kInterrupted = 130 };

std::atomic<int> stopSignals{0};
std::atomic<engine::BatchJob *> runningJob{nullptr};
// The write end of a pipe that the main thread watches while it waits for a job or a download.
std::atomic<int> stopPipe{-1};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<engine::BatchJob *>::is_always_lock_free,
              "read in a signal handler");

// Only lock-free atomics and async-signal-safe calls in here. The first signal stops the picture
// under way within a layer of the network and lets finished ones be written; a second one abandons
// those writes too, removing their part files, and wakes the main thread, which prints the records
// still owed and ends the process. Without a main thread listening, or at a third signal, the process
// ends here and now.
void onStopSignal(int)
{
    const int count = stopSignals.fetch_add(1);
    if (count == 0) {
        if (engine::BatchJob *job = runningJob.load())
            job->requestStop();
    } else {
        engine::removePartFilesNow();
        removeStreamFilesNow();
    }
    const int pipe = stopPipe.load();
    if (count < 2 && pipe >= 0) {
        const char byte = 1;
        [[maybe_unused]] const auto sent = ::write(pipe, &byte, 1);
        return;
    }
    if (count == 0)
        return;
    static const char text[] = "\nbrivelle-cli: stopped at once, results being written were abandoned\n";
    [[maybe_unused]] const auto written = ::write(STDERR_FILENO, text, sizeof text - 1);
    ::_exit(kInterrupted);
}

// Calls `onSignal` on the main thread after each stop signal, while it lives.
class StopListener {
public:
    explicit StopListener(std::function<void()> onSignal)
    {
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        notifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
        QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(),
                         [this, onSignal = std::move(onSignal)] {
                             char bytes[16];
                             while (::read(fds[0], bytes, sizeof bytes) > 0) {
                             }
                             onSignal();
                         });
        stopPipe.store(fds[1]);
    }
    ~StopListener()
    {
        stopPipe.store(-1);
        notifier.reset();
        for (const int fd : fds) {
            if (fd >= 0)
                ::close(fd);
        }
    }
    StopListener(const StopListener &) = delete;
    StopListener &operator=(const StopListener &) = delete;

private:
    int fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
};

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
        text += QStringLiteral("gpu:%1\t%2 (%3)")
                    .arg(i)
                    .arg(QString::fromUtf8(info.device_name()),
                         QLatin1String(type >= 0 && type < 4 ? kinds[type] : "other"));
        if (*info.uuid_text())
            text += QStringLiteral("\tuuid %1").arg(QString::fromLatin1(info.uuid_text()));
        if (*info.pci_address())
            text += QStringLiteral("\tpci %1").arg(QString::fromLatin1(info.pci_address()));
        text += QLatin1Char('\n');
    }
    printTo(stdout, text);
    return kAllWritten;
}

// The index of the GPU with this UUID (dashes optional) or PCI address (domain optional); -1 when no
// GPU has it.
int gpuWithIdentity(const QString &identity)
{
    auto bare = [](QString text) {
        return text.remove(QLatin1Char('-')).toLower();
    };
    for (int i = 0; i < ncnn::get_gpu_count(); ++i) {
        const ncnn::GpuInfo &info = ncnn::get_gpu_info(i);
        const QString uuid = QString::fromLatin1(info.uuid_text());
        const QString pci = QString::fromLatin1(info.pci_address());
        if ((!uuid.isEmpty() && bare(uuid) == bare(identity)) ||
            (!pci.isEmpty() && (pci == identity || pci.mid(5) == identity)))
            return i;
    }
    return -1;
}

// The window's download of the model files, without the window: each missing or damaged file is
// fetched into a temporary file beside its place and takes that place only when complete.
int fetchModels(const CliOptions &options)
{
    const QString folder = options.modelFolder.isEmpty() ? AppInfo::installFolder() : options.modelFolder;
    if (folder.isEmpty())
        return usageError(QStringLiteral("the install folder is not known: name the folder with -m FOLDER"));
    if (const Problem problem = engine::createFolder(folder))
        return usageError(QStringLiteral("cannot write into the model folder %1: %2")
                              .arg(QDir::toNativeSeparators(folder), problem.words()));
    Reporter reporter(options, messageLog, isatty(STDERR_FILENO) != 0);
    const QStringList missing = missingModelFiles(folder);
    if (missing.isEmpty()) {
        reporter.say(
            QStringLiteral("every model file is in place in %1").arg(QDir::toNativeSeparators(folder)));
        return kAllWritten;
    }
    ModelDownloader downloader(nullptr);
    QEventLoop loop;
    QObject::connect(&downloader, &ModelDownloader::finished, &loop, [&] { loop.quit(); });
    const StopListener listener([&] { loop.quit(); });
    const bool terminal = isatty(STDERR_FILENO) != 0;
    for (int i = 0; i < missing.size(); ++i) {
        const QString &name = missing.at(i);
        const QString heading = QStringLiteral("[%1/%2] %3").arg(i + 1).arg(missing.size()).arg(name);
        const QMetaObject::Connection shown =
            QObject::connect(&downloader, &ModelDownloader::progressChanged, &loop, [&](int percent) {
                // A log gets a line a tenth.
                reporter.progress(heading +
                                  QStringLiteral(": %1%").arg(terminal ? percent : percent / 10 * 10));
            });
        downloader.start(VendorServer::modelFileUrl(name), folder + QLatin1Char('/') + name,
                         expectedModelFileSize(name));
        if (stopSignals.load() == 0)
            loop.exec();
        QObject::disconnect(shown);
        if (stopSignals.load() > 0) {
            reporter.error(
                QStringLiteral("stopped: %1 of %2 model files fetched").arg(i).arg(missing.size()));
            return kInterrupted;
        }
        if (downloader.state() != ModelDownloader::State::Stored) {
            reporter.error(QStringLiteral("failed %1: %2").arg(name, downloader.errorString()));
            return kSomeFailed;
        }
        reporter.say(QStringLiteral("fetched %1 (%2 bytes)").arg(name).arg(expectedModelFileSize(name)));
    }
    return kAllWritten;
}

// The inputs of the command line and of a --files-from list, in that order.
bool readInputNames(const CliOptions &options, QStringList *names, QString *error)
{
    *names = options.inputs;
    if (options.filesFrom.isEmpty())
        return true;
    QFile list;
    const bool opened =
        options.filesFrom == QLatin1String("-")
            ? list.open(stdin, QIODevice::ReadOnly)
            : (list.setFileName(NativeName::reachable(options.filesFrom)), list.open(QIODevice::ReadOnly));
    if (!opened) {
        *error = QStringLiteral("cannot read the list %1: %2").arg(options.filesFrom, list.errorString());
        return false;
    }
    *names += splitFileList(list.readAll(), options.nulSeparated);
    return true;
}

// Of the inputs, the shard's part. A picture's key is its path below the folder it was found in, so
// that machines which mount the same tree in other places split it alike.
InputList inShard(const InputList &all, const Shard &shard)
{
    if (!shard.splits())
        return all;
    InputList part;
    for (int i = 0; i < all.pictures.size(); ++i) {
        const QString name = QFileInfo(all.pictures.at(i)).fileName();
        const QString &below = all.subfolders.at(i);
        if (shard.holds(below.isEmpty() ? name : below + QLatin1Char('/') + name)) {
            part.pictures << all.pictures.at(i);
            part.subfolders << below;
        }
    }
    for (const RefusedInput &refused : all.refused) {
        if (shard.holds(QFileInfo(refused.path).fileName()))
            part.refused << refused;
    }
    return part;
}

QString sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

// What every manifest line says of the run besides its input: the network, the device, the program.
QJsonObject runFacts(const engine::Upscaler &upscaler)
{
    const QString param = upscaler.networkFile();
    const engine::Device &device = upscaler.device();
    return {
        {QStringLiteral("network"), QFileInfo(param).completeBaseName()},
        {QStringLiteral("param_sha256"), sha256Of(param)},
        {QStringLiteral("bin_sha256"), sha256Of(weightsBeside(param))},
        {QStringLiteral("precision"), engine::precisionName(upscaler.precision())},
        {QStringLiteral("device"),
         device.isGpu() ? QStringLiteral("gpu:%1").arg(device.gpuIndex) : QStringLiteral("cpu")},
        {QStringLiteral("version"), AppInfo::versionString()},
    };
}

int run(const CliOptions &options)
{
    // The output folder is checked first: no picture is computed for results that could not be saved.
    // Part files and the folder's making go through Qt, which cannot reach such a name.
    if (NativeName::hasEscapes(options.outputFolder))
        return usageError(
            QStringLiteral("the output folder %1 has a name that is not UTF-8: name another one")
                .arg(printableText(options.outputFolder)));
    // Standard input and output go through a private folder of this run.
    StreamFolder streams;
    QString error;
    const bool toStandardOutput = options.writesStandardOutput();
    if (toStandardOutput && isatty(STDOUT_FILENO))
        return usageError(QStringLiteral("-o -: standard output is a terminal; send it to a file or a "
                                         "program, or name an output folder"));
    if ((toStandardOutput || options.readsStandardInput()) && !streams.create(&error))
        return usageError(error);
    const QString output =
        toStandardOutput ? streams.path()
                         : QDir(options.outputFolder.isEmpty() ? QDir::currentPath() : options.outputFolder)
                               .absolutePath();
    if (const Problem problem = engine::createFolder(output))
        return usageError(QStringLiteral("cannot write into the output folder %1: %2")
                              .arg(QDir::toNativeSeparators(output), problem.words()));
    engine::removeStalePartFiles(output);

    QStringList names;
    if (!readInputNames(options, &names, &error))
        return usageError(error);
    QString standardInput; // the file that holds standard input's picture
    if (options.readsStandardInput()) {
        standardInput = streams.takeStandardInput(&error);
        if (standardInput.isEmpty())
            return usageError(error);
        names = {standardInput};
    }
    // How a picture is named to the user: standard input as "-".
    const auto shown = [&](const QString &path) {
        return path == standardInput && !path.isEmpty() ? QStringLiteral("-") : path;
    };
    Shard shard;
    if (!chooseShard(options.shard, options.shardCount, QProcessEnvironment::systemEnvironment(), &shard,
                     &error))
        return usageError(error);
    // Held from here to the end of the run: a second run with the same file is refused before it
    // loads anything.
    std::unique_ptr<Manifest> manifest;
    if (!options.manifest.isEmpty() && !(manifest = Manifest::open(options.manifest, &error)))
        return usageError(error);

    engine::Upscaler::Config config = networkConfig(options);
    config.device = options.device;
    if (!options.gpuIdentity.isEmpty()) {
        config.device.gpuIndex = gpuWithIdentity(options.gpuIdentity);
        if (config.device.gpuIndex < 0)
            return usageError(
                QStringLiteral("no GPU has the identity %1 (see --list-devices)").arg(options.gpuIdentity));
    }
    config.fixedTileSize = options.tileSize;
    if (config.device.isGpu() && config.device.gpuIndex >= ncnn::get_gpu_count())
        return usageError(
            ncnn::get_gpu_count() == 0
                ? QStringLiteral("no GPU found (see --list-devices)")
                : QStringLiteral("there is no gpu:%1 (see --list-devices)").arg(config.device.gpuIndex));
    // A precision the device lacks is refused before anything loads.
    config.precision = options.precision;
    if (const engine::PrecisionChoice precision = engine::precisionForDevice(config.precision, config.device);
        !precision.isOk())
        return usageError(precision.refusal);
    const std::shared_ptr<const engine::Upscaler> upscaler = engine::Upscaler::load(config, &error);
    if (!upscaler)
        return usageError(networkLoadError(config, error));
    if (stopSignals.load() > 0)
        return kInterrupted;

    Reporter reporter(options, messageLog, isatty(STDERR_FILENO) != 0);
    reporter.precision = engine::precisionName(upscaler->precision());
    if (verboseMessages)
        reporter.say(
            (upscaler->device().isGpu()
                 ? QStringLiteral("device: gpu:%1 %2")
                       .arg(upscaler->device().gpuIndex)
                       .arg(QString::fromUtf8(ncnn::get_gpu_info(upscaler->device().gpuIndex).device_name()))
                 : QStringLiteral("device: cpu, %1 thread%2")
                       .arg(config.threads)
                       .arg(config.threads == 1 ? "" : "s")) +
            QStringLiteral(", precision %1").arg(reporter.precision));
    engine::BatchJob job(output, upscaler);
    job.setOutputFormat(options.format);
    job.setFinishing(options.finishing);
    int failed = 0;
    int lastingFailures = 0; // failures that a retry would meet again
    bool failureLimitReached = false;
    bool manifestFailed = false;
    const QJsonObject facts = manifest ? runFacts(*upscaler) : QJsonObject();
    reporter.recorded = [&](const QJsonObject &record, const engine::PictureReport &report) {
        if (record.value(QStringLiteral("status")).toString() == QLatin1String("failed")) {
            ++failed;
            if (!report.transient)
                ++lastingFailures;
            if (options.maxFailures > 0 && failed == options.maxFailures && !failureLimitReached) {
                failureLimitReached = true;
                job.requestStop();
            }
        }
        if (!manifest || manifestFailed)
            return;
        QJsonObject line = record;
        for (auto fact = facts.begin(); fact != facts.end(); ++fact)
            line.insert(fact.key(), fact.value());
        if (!report.sourceSize.isEmpty())
            line.insert(QStringLiteral("input_size"),
                        QJsonArray{report.sourceSize.width(), report.sourceSize.height()});
        if (!report.output.isEmpty())
            line.insert(QStringLiteral("bytes"), NativeName::fileSize(report.output));
        if (report.failed() && !report.reason.isEmpty())
            line.insert(QStringLiteral("transient"), report.transient);
        if (!manifest->append(line)) {
            manifestFailed = true;
            reporter.error(
                QStringLiteral("brivelle-cli: cannot write the manifest %1: stopping").arg(options.manifest));
            job.requestStop();
        }
    };
    const InputList inputs = inShard(collectInputs(names), shard);
    if (toStandardOutput) {
        if (inputs.pictures.size() + inputs.refused.size() != 1)
            return usageError(QStringLiteral("-o - writes one picture to standard output: give one input, "
                                             "not %1")
                                  .arg(inputs.pictures.size() + inputs.refused.size()));
        if (!inputs.pictures.isEmpty())
            streams.expectResult(
                engine::outputCandidate(output, inputs.pictures.first(), 1, options.format.suffix()));
    }
    for (const RefusedInput &refused : inputs.refused)
        reporter.refused(refused);
    for (const RefusedInput &repeated : inputs.repeated)
        reporter.repeated(repeated);

    QStringList pictures;
    QStringList folders;
    int skipped = 0;
    QHash<QString, std::shared_ptr<engine::ResultIndex>> results;
    for (int i = 0; i < inputs.pictures.size(); ++i) {
        const QString &path = inputs.pictures.at(i);
        const QString folder = options.keepTree && !inputs.subfolders.at(i).isEmpty()
                                   ? QDir(output).filePath(inputs.subfolders.at(i))
                                   : output;
        if (manifest) {
            if (const QString result = manifest->writtenBefore(path); !result.isEmpty()) {
                reporter.skipped(path, result);
                ++skipped;
                continue;
            }
        }
        // With a manifest, a result that a killed run wrote before it could record it counts too:
        // nothing is done twice.
        if (options.skipExisting || manifest) {
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
    QString resultToSend; // with -o -: the result, once written
    reporter.outputClosed = [&] {
        outputClosed = true;
        reporter.error(QStringLiteral("brivelle-cli: standard output was closed: stopping"));
        job.requestStop();
    };
    // Pictures are reported in list order: those from `reported` on are still owed a record.
    int reported = 0;
    int started = -1;
    int writtenSoFar = 0;
    QObject::connect(&job, &engine::BatchJob::pictureStarted, &job,
                     [&](int index, int total, const QString &path) {
                         started = index;
                         reporter.pictureStarted(index, total, shown(path));
                     });
    QObject::connect(&job, &engine::BatchJob::tileProgress, &job,
                     [&](int done, int total) { reporter.tileProgress(done, total); });
    QObject::connect(&job, &engine::BatchJob::statusChanged, &job,
                     [&](int index, const QString &text) { reporter.statusChanged(index, text); });
    QObject::connect(&job, &engine::BatchJob::pictureFinished, &job, [&](engine::PictureReport report) {
        reported = report.index + 1;
        writtenSoFar += report.status == engine::Outcome::Done ? 1 : 0;
        report.input = shown(report.input);
        if (toStandardOutput && !report.output.isEmpty()) {
            resultToSend = report.output;
            report.output = QStringLiteral("-");
        }
        reporter.finished(report);
    });
    reporter.batchStarted(pictures, upscaler->tileSize(), upscaler->inputMultiple());

    // A second signal: what the job has already reported is printed, every picture still owed a
    // record gets one, and the process ends without waiting for the writes it abandoned.
    const StopListener listener([&] {
        if (stopSignals.load() < 2)
            return;
        QCoreApplication::sendPostedEvents();
        for (int i = reported; i < pictures.size(); ++i) {
            engine::PictureReport report;
            report.index = i;
            report.input = shown(pictures.at(i));
            report.status = i <= started ? engine::PictureReport::Status::Cancelled
                                         : engine::PictureReport::Status::NotStarted;
            reporter.finished(report);
        }
        reporter.error(QStringLiteral("stopped at once: %1 of %2 written")
                           .arg(writtenSoFar + skipped)
                           .arg(inputs.pictures.size() + inputs.refused.size()));
        engine::removePartFilesNow();
        removeStreamFilesNow();
        ::_exit(kInterrupted);
    });
    runningJob.store(&job);
    if (stopSignals.load() > 0)
        job.requestStop();
    // On a thread of our own that is joined, not one of Qt's pool, which are detached and may still be
    // ending as the process exits (glibc frees a thread's last buffers after the leak checker has let
    // the thread go).
    std::thread worker([&job, &pictures, &folders] {
        job.run(pictures, folders);
        QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    worker.join();
    runningJob.store(nullptr);
    reporter.flushMessages();

    const int written = int(job.summary().written.size()) + skipped;
    const int all = int(inputs.pictures.size() + inputs.refused.size());
    int code = kAllWritten;
    if (!resultToSend.isEmpty() && stopSignals.load() == 0 && !streams.sendResult(resultToSend, &error)) {
        reporter.error(QStringLiteral("brivelle-cli: ") + error);
        outputClosed = true;
    }
    if (stopSignals.load() > 0) {
        reporter.error(QStringLiteral("stopped: %1 of %2 written").arg(written).arg(all));
        code = kInterrupted;
    } else if (outputClosed || manifestFailed) {
        code = kSomeFailed;
    } else if (failureLimitReached) {
        reporter.error(
            QStringLiteral("stopped after %1 failures: %2 of %3 written").arg(failed).arg(written).arg(all));
        code = kSomeFailed;
    } else if (failed > 0) {
        reporter.error(QStringLiteral("%1 of %2 written, %3 failed").arg(written).arg(all).arg(failed));
        code = lastingFailures == 0 ? kRetryMayMend : kSomeFailed;
    }
    if (manifest && !manifestFailed)
        manifest->append({{QStringLiteral("event"), QStringLiteral("end")},
                          {QStringLiteral("inputs"), all},
                          {QStringLiteral("written"), written},
                          {QStringLiteral("failed"), failed},
                          {QStringLiteral("exit"), code}});
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brivelle-cli"));
    registerImageFormats();
    // The engine's debug lines are for the window's log; QT_LOGGING_RULES still turns them back on.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    installStopHandlers();

    // Qt would decode the arguments as UTF-8 and lose the bytes of names that are not.
    const CliOptions options = parseCliOptions(NativeName::arguments(argc, argv));
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
    case CliOptions::Action::FetchModels:
        return fetchModels(options);
    case CliOptions::Action::ListDevices:
    case CliOptions::Action::Run:
        break;
    }
    // The device list exists only while the GPU instance does; every network goes before it.
    const QString cache =
        options.cacheFolder.isEmpty() ? AppInfo::pipelineCacheFolder() : options.cacheFolder;
    ncnn::set_pipeline_cache_folder(QFile::encodeName(cache).constData());
    ncnn::create_gpu_instance();
    const int code = options.action == CliOptions::Action::ListDevices ? listDevices() : run(options);
    ncnn::destroy_gpu_instance();
    return code;
}
