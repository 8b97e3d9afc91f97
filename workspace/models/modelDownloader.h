#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;

// Fetches one model file at a time into its place. The body goes to a temporary file beside the
// target, which replaces the target only when the reply ended without error and holds exactly the
// expected number of bytes: a failed, short or oversized download never leaves a damaged model behind.
// Lives on the GUI thread.
class ModelDownloader : public QObject {
    Q_OBJECT

public:
    enum class State {
        Idle,      // nothing started yet
        Receiving, // a request is in flight
        Stored,    // the last file is in place with its exact size
        Failed,    // the last file is not in place; errorString() says why
    };
    Q_ENUM(State)

    explicit ModelDownloader(QObject *parent);
    // Aborts a request in flight without emitting finished(), and leaves no file behind.
    ~ModelDownloader() override;

    // The one network manager of its owner, reused for every file; it lives as long as the downloader.
    QNetworkAccessManager *networkManager() const { return manager; }

    // Starts fetching url into targetPath. Ignored while a request is in flight.
    void start(const QUrl &url, const QString &targetPath, qint64 expectedSize);

    State state() const { return currentState; }
    QString errorString() const { return lastError; }
    // The name of the reply's error enumerator, or "NoError" when the network part succeeded.
    QString errorCode() const { return lastErrorCode; }
    // Bytes of the current file written to its temporary file so far.
    qint64 bytesReceived() const { return received; }

signals:
    // Percent of the announced length received so far; silent when the server announces no length.
    void progressChanged(int percent);
    // The file's request has ended and state() is Stored or Failed. The reply is released afterwards.
    void finished(QNetworkReply *reply);

private:
    void onReadyRead();
    // Moves what has arrived into the temporary file; false (with abortReason set) to stop the transfer.
    bool drain(QNetworkReply *source);
    void onFinished();
    void fail(const QString &code, const QString &message);

    QNetworkAccessManager *manager = nullptr;
    QPointer<QNetworkReply> reply;
    std::unique_ptr<QSaveFile> file;
    qint64 expected = 0;
    qint64 received = 0;
    State currentState = State::Idle;
    QString lastError;
    QString lastErrorCode;
    // Set when the transfer was stopped on our side; the reply's own error is then only a consequence.
    QString abortReason;
};
