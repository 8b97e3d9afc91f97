#include "cli/cliReporter.h"

#include "base/nativeName.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

void writeTo(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString statusWord(engine::PictureReport::Status status)
{
    using Status = engine::PictureReport::Status;
    switch (status) {
    case Status::Done:
        return QStringLiteral("written");
    case Status::Failed:
    case Status::OutOfMemory:
    case Status::DeviceLost:
        return QStringLiteral("failed");
    case Status::Cancelled:
        return QStringLiteral("cancelled");
    case Status::NotStarted:
        return QStringLiteral("not-started");
    }
    return QString();
}

} // namespace

// Names that are not UTF-8 keep their bytes as the escapes U+DC80..U+DCFF (nativeName.h), which
// JSON writes as "\udcXX", as Python's json and os.fsencode() read them back. QJsonDocument would
// write "?" instead: each escape goes through as a mark that occurs nowhere else in the record,
// followed by its byte in hex, and is put back as "\udcXX" in the encoded text.
QByteArray jsonLine(QJsonObject object)
{
    bool escaped = false;
    QString all;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.value().isString()) {
            all += it.value().toString();
            escaped = escaped || NativeName::hasEscapes(it.value().toString());
        }
    }
    if (!escaped)
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    char16_t mark = 0xE000; // private use, and one that no string of the record holds
    while (all.contains(QChar(mark)))
        ++mark;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            continue;
        const QString text = it.value().toString();
        QString marked;
        for (const QChar c : text) {
            if (const int byte = NativeName::escapedByte(c); byte >= 0)
                marked += QChar(mark) + QStringLiteral("%1").arg(byte, 2, 16, QLatin1Char('0'));
            else
                marked += c;
        }
        it.value() = marked;
    }
    QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact);
    line.replace(QString(QChar(mark)).toUtf8(), QByteArrayLiteral("\\udc"));
    return line + '\n';
}

QString printableText(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const QChar::Category category = c.category();
        // A byte of a name that is not UTF-8 (nativeName.h).
        if (const int byte = NativeName::escapedByte(c); byte >= 0) {
            out += QStringLiteral("\\x%1").arg(byte, 2, 16, QLatin1Char('0'));
            continue;
        }
        if (c == QChar::ReplacementCharacter || category == QChar::Other_Surrogate ||
            category == QChar::Other_NotAssigned || category == QChar::Other_PrivateUse) {
            out += QLatin1Char('?');
        } else if (category == QChar::Other_Control || category == QChar::Other_Format) {
            out += c.unicode() < 0x100 ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                                       : QStringLiteral("?");
        } else {
            out += c;
        }
    }
    return out;
}

void MessageLog::add(int picture, const QString &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    QStringList &list = byPicture[picture];
    // A damaged file can repeat one warning for every row, or quote a long piece of itself.
    constexpr int kKept = 5;
    constexpr qsizetype kLongest = 300;
    if (list.size() < kKept)
        list << (text.size() > kLongest ? text.left(kLongest) + QStringLiteral("...") : text);
    else if (list.size() == kKept)
        list << QStringLiteral("(more messages left out)");
}

QStringList MessageLog::take(int picture)
{
    std::lock_guard<std::mutex> lock(mutex);
    return byPicture.take(picture);
}

Reporter::Reporter(const CliOptions &options, MessageLog &log, bool terminal)
    : json(options.json), verbosity(options.verbosity), terminal(terminal), log(log)
{}

void Reporter::batchStarted(const QStringList &pictures, int tileSize, int inputMultiple)
{
    total = int(pictures.size());
    QList<QSize> sizes;
    sizes.reserve(pictures.size());
    for (const QString &path : pictures)
        sizes << orientedImageSize(path);
    estimate = std::make_unique<BatchTimeEstimate>(sizes, tileSize, inputMultiple);
    clock.start();
}

void Reporter::pictureStarted(int index, int count, const QString &path)
{
    underWay.pictureStarted(index, count, path);
    if (estimate)
        estimate->pictureStarted(index, clock.elapsed());
    current = QStringLiteral("[%1/%2] %3").arg(index + 1).arg(count).arg(QFileInfo(path).fileName());
    lastTenth = -1;
}

void Reporter::tileProgress(int done, int tiles)
{
    underWay.tileProgress(done, tiles);
    if (estimate)
        estimate->tilesDone(done, tiles, clock.elapsed());
    showProgress(true);
}

void Reporter::statusChanged(int index, const QString &text)
{
    // Only the writer's status for the picture the network has finished last says something new.
    if (index != underWay.picture() || underWay.barMaximum() == 0 ||
        underWay.barValue() < underWay.barMaximum())
        return;
    underWay.statusChanged(index, text);
    showProgress(false);
}

void Reporter::showProgress(bool tileDone)
{
    if (verbosity == CliOptions::Verbosity::Quiet || underWay.barMaximum() <= 0 || !estimate)
        return;
    const bool writing = !tileDone;
    const int done = underWay.barValue();
    const int tiles = underWay.barMaximum();
    const qint64 elapsed = clock.elapsed();
    const qint64 left = estimate->remainingMs(elapsed);
    QString line =
        current + QStringLiteral(": ") +
        (writing ? QStringLiteral("writing") : QStringLiteral("tile %1 of %2").arg(done).arg(tiles)) +
        QStringLiteral(" \u00b7 %1% of the batch \u00b7 %2 elapsed")
            .arg(int(estimate->fractionDone() * 100))
            .arg(durationText(elapsed));
    line += left < 0 ? QStringLiteral(" \u00b7 estimating the time left")
                     : QStringLiteral(" \u00b7 about %1 left").arg(durationText(left + 999));
    // In a log, every tenth of a picture is enough unless every tile is asked for.
    const int tenth = done * 10 / tiles;
    if (!terminal && verbosity != CliOptions::Verbosity::Verbose &&
        (writing || done == 0 || tenth == lastTenth))
        return;
    lastTenth = tenth;
    progress(line);
}

void Reporter::progress(const QString &line)
{
    if (verbosity == CliOptions::Verbosity::Quiet)
        return;
    if (terminal) {
        writeTo(stderr, QStringLiteral("\r\033[K") + printableText(line));
        progressShown = true;
        return;
    }
    // The writer reports every percent; a line that says nothing new is left out.
    if (line == lastProgressLine)
        return;
    lastProgressLine = line;
    printLine(line);
}

void Reporter::finished(const engine::PictureReport &report)
{
    using Status = engine::PictureReport::Status;
    underWay.pictureFinished(report.index);
    switch (report.status) {
    case Status::Done:
        say(QStringLiteral("written %1 -> %2 (%3x%4, %5 s)")
                .arg(report.input, report.output)
                .arg(report.size.width())
                .arg(report.size.height())
                .arg(report.seconds, 0, 'f', 2));
        break;
    case Status::Failed:
    case Status::OutOfMemory:
    case Status::DeviceLost:
        error(QStringLiteral("failed %1: %2").arg(report.input, report.reason));
        break;
    case Status::Cancelled:
        say(QStringLiteral("stopped %1: nothing written").arg(report.input));
        break;
    case Status::NotStarted:
        if (verbosity == CliOptions::Verbosity::Verbose)
            say(QStringLiteral("not started %1").arg(report.input));
        break;
    }
    if (!report.note.isEmpty())
        say(QStringLiteral("note %1: %2").arg(report.input, report.note));
    printNotes(report.index);
    record(report, statusWord(report.status));
}

void Reporter::refused(const RefusedInput &input)
{
    error(QStringLiteral("failed %1: %2").arg(input.path, input.reason));
    engine::PictureReport report;
    report.input = input.path;
    report.reason = input.reason;
    record(report, QStringLiteral("failed"));
}

void Reporter::skipped(const QString &input, const QString &result)
{
    say(QStringLiteral("skipped %1: already written as %2").arg(input, result));
    engine::PictureReport report;
    report.input = input;
    report.output = result;
    record(report, QStringLiteral("skipped"));
}

void Reporter::repeated(const RefusedInput &input)
{
    say(QStringLiteral("note %1: %2").arg(input.path, input.reason));
    engine::PictureReport report;
    report.input = input.path;
    report.reason = input.reason;
    record(report, QStringLiteral("skipped"));
}

void Reporter::say(const QString &line)
{
    if (verbosity != CliOptions::Verbosity::Quiet)
        printLine(line);
}

void Reporter::error(const QString &line)
{
    printLine(line);
}

void Reporter::flushMessages()
{
    const QStringList messages = log.take(-1);
    if (verbosity != CliOptions::Verbosity::Verbose)
        return;
    for (const QString &message : messages)
        printLine(QStringLiteral("message: ") + message);
}

void Reporter::printNotes(int picture)
{
    const QStringList notes = log.take(picture);
    if (verbosity == CliOptions::Verbosity::Quiet)
        return;
    for (const QString &note : notes)
        printLine(QStringLiteral("  note: ") + note);
}

void Reporter::printLine(const QString &line)
{
    if (progressShown)
        writeTo(stderr, QStringLiteral("\r\033[K"));
    progressShown = false;
    writeTo(stderr, printableText(line) + QLatin1Char('\n'));
}

void Reporter::record(const engine::PictureReport &report, const QString &status)
{
    QJsonObject object{
        {QStringLiteral("input"), report.input},
        {QStringLiteral("output"), report.output.isEmpty() ? QJsonValue() : QJsonValue(report.output)},
        {QStringLiteral("size"), report.size.isEmpty()
                                     ? QJsonValue()
                                     : QJsonValue(QJsonArray{report.size.width(), report.size.height()})},
        {QStringLiteral("seconds"), report.seconds},
        {QStringLiteral("status"), status},
    };
    // The network's own size, where the size asked for is another.
    if (report.networkSize.isValid())
        object.insert(QStringLiteral("network_size"),
                      QJsonArray{report.networkSize.width(), report.networkSize.height()});
    if (!precision.isEmpty())
        object.insert(QStringLiteral("precision"), precision);
    if (!report.reason.isEmpty())
        object.insert(QStringLiteral("reason"), report.reason);
    if (!report.note.isEmpty())
        object.insert(QStringLiteral("note"), report.note);
    if (recorded)
        recorded(object, report);
    if (!json || !stdoutOpen)
        return;
    const QByteArray line = jsonLine(object);
    const bool ok = std::fwrite(line.constData(), 1, size_t(line.size()), stdout) == size_t(line.size()) &&
                    std::fflush(stdout) == 0;
    if (!ok) {
        stdoutOpen = false;
        if (outputClosed)
            outputClosed();
    }
}
