#pragma once

#include "cli/cliOptions.h"
#include "cli/inputList.h"
#include "workspace/batchProgress.h"
#include "workspace/engine/batchJob.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>

// The text with every character that a terminal would act on (controls, escapes, bytes that are
// not text) written as \xNN or "?", so a name or a message that quotes a file never drives the
// terminal.
QString printableText(const QString &text);

// One JSON record and its newline, compact. Escapes of name bytes that are not UTF-8 are written
// as "\udcXX", which Python's json and os.fsencode() read back.
QByteArray jsonLine(QJsonObject object);

// Messages of Qt and the image libraries, kept by the picture they concern (the one the thread that
// printed them was working on), or under -1. Any thread.
class MessageLog {
public:
    void add(int picture, const QString &text);
    QStringList take(int picture);

private:
    std::mutex mutex;
    QHash<int, QStringList> byPicture;
};

// What brivelle-cli prints: words on stderr (a progress line rewritten in place on a terminal,
// plain lines otherwise), one JSON object per input on stdout with -j. GUI thread only.
class Reporter {
public:
    Reporter(const CliOptions &options, MessageLog &log, bool terminal);

    // Standard output refused a record (a closed pipe); called once.
    std::function<void()> outputClosed;
    // Every input's record as it ends (the object -j prints), with or without -j.
    std::function<void(const QJsonObject &record, const engine::PictureReport &report)> recorded;
    // The precision the network runs in ("bf16"), said by every record; none when empty.
    QString precision;

    void batchStarted(const QStringList &pictures, int tileSize, int inputMultiple);
    void pictureStarted(int index, int total, const QString &path);
    void tileProgress(int done, int total);
    void statusChanged(int index, const QString &text);
    void finished(const engine::PictureReport &report);
    void refused(const RefusedInput &input);
    void skipped(const QString &input, const QString &result);
    // An input listed again: a note, and a skipped record.
    void repeated(const RefusedInput &input);

    // A progress line: rewritten in place on a terminal, printed in a log when its text changes.
    void progress(const QString &line);
    // A line for the user; errors show even with -q.
    void say(const QString &line);
    void error(const QString &line);
    // Messages of no picture, shown with -v.
    void flushMessages();

private:
    void showProgress(bool tileDone);
    void printLine(const QString &line);
    void record(const engine::PictureReport &report, const QString &status);
    void printNotes(int picture);

    const bool json;
    const CliOptions::Verbosity verbosity;
    const bool terminal;
    MessageLog &log;
    std::unique_ptr<BatchTimeEstimate> estimate;
    PictureInProgress underWay;
    QElapsedTimer clock;
    QString current;
    int total = 0;
    int lastTenth = -1;
    bool progressShown = false;
    QString lastProgressLine; // in a log, a line is printed only when its text changes
    bool stdoutOpen = true;
};
