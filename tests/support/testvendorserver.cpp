#include "support/testvendorserver.h"

#include <QFile>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <utility>

namespace {

constexpr qsizetype maxRequestHead = 16 * 1024;
constexpr qsizetype slowPiece = 64 * 1024;

QByteArray head(const QByteArray &status, const QByteArray &contentType)
{
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + contentType + "\r\nConnection: close\r\n";
}

QByteArray contentTypeFor(const QString &path)
{
    if (path.endsWith(QLatin1String(".txt")))
        return "text/plain; charset=utf-8";
    if (path.endsWith(QLatin1String(".php")) || path == QLatin1String("/"))
        return "text/html; charset=utf-8";
    return "application/octet-stream";
}

} // namespace

TestVendorServer::TestVendorServer(QObject *parent) : QObject(parent)
{
    connect(&server, &QTcpServer::newConnection, this, &TestVendorServer::onNewConnection);
}

TestVendorServer::~TestVendorServer() = default;

bool TestVendorServer::listen(quint16 wanted)
{
    if (!server.listen(QHostAddress::LocalHost, wanted))
        return false;
    port = server.serverPort();
    return true;
}

QUrl TestVendorServer::origin() const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port);
    return url;
}

void TestVendorServer::releaseStalled()
{
    const QList<Pending> waiting = std::exchange(stalledResponses, {});
    for (const Pending &pending : waiting) {
        if (!pending.socket)
            continue;
        if (pending.chunked)
            pending.socket->write(chunk(pending.rest) + "0\r\n\r\n");
        else
            pending.socket->write(pending.rest);
        pending.socket->disconnectFromHost();
    }
}

void TestVendorServer::onNewConnection()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    }
}

void TestVendorServer::onReadyRead(QTcpSocket *socket)
{
    // One request per connection: whatever follows the first head is ignored.
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (buffer.size() > maxRequestHead)
            socket->abort();
        else
            socket->setProperty("buffer", buffer);
        return;
    }
    socket->setProperty("answered", true);
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    if (requestLine.size() != 3 || requestLine.at(0) != "GET") {
        socket->write(head("405 Method Not Allowed", "text/plain") + "Content-Length: 0\r\n\r\n");
        socket->disconnectFromHost();
        return;
    }
    QString path = QUrl::fromPercentEncoding(requestLine.at(1));
    path = path.left(path.indexOf(QLatin1Char('?')) < 0 ? path.size() : path.indexOf(QLatin1Char('?')));
    paths.append(path);
    emit requestReceived(path);
    respond(socket, path);
}

bool TestVendorServer::bodyFor(const QString &path, QByteArray *body) const
{
    if (bodies.contains(path)) {
        *body = bodies.value(path);
        return true;
    }
    QString name;
    if (path.startsWith(QLatin1String("/UpscaleModels/")))
        name = path.mid(int(qstrlen("/UpscaleModels/")));
    else if (path == updatePath())
        name = QStringLiteral("update.txt");
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.startsWith(QLatin1Char('.')) ||
        servedFolder.isEmpty())
        return false;
    QFile file(servedFolder + QLatin1Char('/') + name);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *body = file.readAll();
    return true;
}

void TestVendorServer::respond(QTcpSocket *socket, const QString &path)
{
    const Mode mode = modes.value(path, defaultMode);
    if (mode == Mode::Dropped) {
        socket->abort();
        return;
    }
    QByteArray body;
    if (mode == Mode::NotFound || !bodyFor(path, &body)) {
        const QByteArray text = "Not Found\n";
        socket->write(head("404 Not Found", "text/plain") +
                      "Content-Length: " + QByteArray::number(text.size()) + "\r\n\r\n" + text);
        socket->disconnectFromHost();
        return;
    }

    const QByteArray okHead = head("200 OK", contentTypeFor(path));
    const QByteArray lengthHead = okHead + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    const QByteArray chunkedHead = okHead + "Transfer-Encoding: chunked\r\n\r\n";
    const qsizetype half = body.size() / 2;

    switch (mode) {
    case Mode::Normal:
        socket->write(lengthHead + body);
        socket->disconnectFromHost();
        break;
    case Mode::Slow:
        socket->write(lengthHead);
        sendSlowly(socket, body);
        break;
    case Mode::Truncated:
        socket->write(lengthHead + body.left(half));
        socket->disconnectFromHost();
        break;
    case Mode::UnknownLength:
        socket->write(chunkedHead + chunk(body.left(half)) + chunk(body.mid(half)) + "0\r\n\r\n");
        socket->disconnectFromHost();
        break;
    case Mode::Stalled:
    case Mode::StalledUnknownLength: {
        const bool chunked = mode == Mode::StalledUnknownLength;
        socket->write(chunked ? chunkedHead + chunk(body.left(half)) : lengthHead + body.left(half));
        stalledResponses.append(Pending{socket, body.mid(half), chunked});
        emit stalled(path);
        break;
    }
    case Mode::NotFound:
    case Mode::Dropped:
        break;
    }
}

void TestVendorServer::sendSlowly(QTcpSocket *socket, QByteArray body)
{
    QPointer<QTcpSocket> guarded(socket);
    const QByteArray piece = body.left(slowPiece);
    socket->write(piece);
    body.remove(0, piece.size());
    if (body.isEmpty()) {
        socket->disconnectFromHost();
        return;
    }
    QTimer::singleShot(slowInterval, this, [this, guarded, body] {
        if (guarded)
            sendSlowly(guarded, body);
    });
}

QByteArray TestVendorServer::chunk(const QByteArray &data)
{
    if (data.isEmpty())
        return {};
    return QByteArray::number(data.size(), 16) + "\r\n" + data + "\r\n";
}
