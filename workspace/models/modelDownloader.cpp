#include "workspace/models/modelDownloader.h"

#include <QDir>
#include <QFileInfo>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>

ModelDownloader::ModelDownloader(QObject *parent) : QObject(parent), manager(new QNetworkAccessManager(this))
{}

ModelDownloader::~ModelDownloader()
{
    // Quietly: the owner may be half destroyed by now. The manager, a child, then deletes the reply.
    if (reply) {
        reply->disconnect(this);
        reply->abort();
    }
    // An unfinished temporary file is discarded, never committed.
    if (file)
        file->cancelWriting();
}

void ModelDownloader::start(const QUrl &url, const QString &targetPath, qint64 expectedSize)
{
    if (currentState == State::Receiving)
        return;
    currentState = State::Receiving;
    expected = expectedSize;
    received = 0;
    lastError.clear();
    lastErrorCode.clear();
    abortReason.clear();

    // The installer's folder may have been removed since; a folder that cannot be made fails below.
    QDir().mkpath(QFileInfo(targetPath).absolutePath());
    file = std::make_unique<QSaveFile>(targetPath);
    const bool opened = file->open(QIODevice::WriteOnly);

    reply = manager->get(QNetworkRequest(url));
    connect(reply, &QNetworkReply::readyRead, this, &ModelDownloader::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &ModelDownloader::onFinished);

    if (!opened) {
        // Abort from the event loop, so the caller sees the failure as it sees every other one.
        abortReason = tr("Cannot write %1: %2").arg(targetPath, file->errorString());
        QMetaObject::invokeMethod(reply, &QNetworkReply::abort, Qt::QueuedConnection);
    }
}

void ModelDownloader::onReadyRead()
{
    if (!reply || !abortReason.isEmpty())
        return;
    // An error page is not the file: it must neither be stored nor move the progress.
    if (reply->error() != QNetworkReply::NoError ||
        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= 300) {
        reply->readAll();
        return;
    }
    if (!drain(reply)) {
        reply->abort();
        return;
    }
    // The reply's own downloadProgress is throttled and may stay silent while a server pauses, so
    // the share is worked out here from the announced length.
    const qint64 total = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (total > 0)
        emit progressChanged(int(qMin<qint64>(received, total) * 100 / total));
}

bool ModelDownloader::drain(QNetworkReply *source)
{
    const QByteArray chunk = source->readAll();
    if (received + chunk.size() > expected) {
        abortReason = tr("The server sent more than the expected %1 bytes").arg(expected);
        return false;
    }
    if (file->write(chunk) != chunk.size()) {
        abortReason = tr("Cannot write %1: %2").arg(file->fileName(), file->errorString());
        return false;
    }
    received += chunk.size();
    return true;
}

void ModelDownloader::onFinished()
{
    QNetworkReply *finishedReply = reply;
    if (!finishedReply)
        return;
    reply = nullptr;
    const int status = finishedReply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (abortReason.isEmpty() && finishedReply->error() == QNetworkReply::NoError && status < 300)
        drain(finishedReply);

    if (!abortReason.isEmpty()) {
        fail(QStringLiteral("OperationCanceledError"), abortReason);
    } else if (finishedReply->error() != QNetworkReply::NoError) {
        fail(QString::fromLatin1(
                 QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(finishedReply->error())),
             finishedReply->errorString());
    } else if (status >= 300) {
        fail(QStringLiteral("NoError"), tr("The server answered with HTTP status %1").arg(status));
    } else if (received != expected) {
        fail(QStringLiteral("NoError"),
             tr("Received %1 bytes instead of the expected %2").arg(received).arg(expected));
    } else if (!file->commit()) {
        fail(QStringLiteral("NoError"), tr("Cannot store %1: %2").arg(file->fileName(), file->errorString()));
    } else {
        lastErrorCode = QStringLiteral("NoError");
        currentState = State::Stored;
    }
    file.reset();
    emit finished(finishedReply);
    finishedReply->deleteLater();
}

void ModelDownloader::fail(const QString &code, const QString &message)
{
    file->cancelWriting();
    lastErrorCode = code;
    lastError = message;
    currentState = State::Failed;
}
