#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A stand-in for the vendor's web server on 127.0.0.1: HTTP/1.1 GET only, one request per connection.
// "/UpscaleModels/<name>" and "/BrivelleAI/update.txt" are served from files in one folder
// (<folder>/<name>, <folder>/update.txt); a body set with setBody() takes precedence. Every path can be
// given a mode that reproduces one way a real server or network fails.
class TestVendorServer : public QObject {
    Q_OBJECT

public:
    enum class Mode {
        Normal,              // the whole body with its Content-Length
        Slow,                // the whole body in small pieces, one per timer tick
        Truncated,           // announces the full length, sends half, closes the connection
        NotFound,            // "404 Not Found"
        Dropped,             // closes the connection without answering
        UnknownLength,       // chunked transfer encoding: the client never learns the total
        Stalled,             // announces the full length, sends half, waits for releaseStalled()
        StalledUnknownLength // chunked, sends half, waits for releaseStalled()
    };
    Q_ENUM(Mode)

    explicit TestVendorServer(QObject *parent = nullptr);
    ~TestVendorServer() override;

    // Listens on 127.0.0.1 (port 0: any free port).
    bool listen(quint16 wanted = 0);
    // Stops accepting connections; the port stays in origin(), so clients then meet a refusal.
    void close() { server.close(); }
    // "http://127.0.0.1:<port>", the value for BRIVELLE_SERVER_URL.
    QUrl origin() const;

    void setFolder(const QString &folder) { servedFolder = folder; }
    void setBody(const QString &path, const QByteArray &body) { bodies.insert(path, body); }
    void setMode(const QString &path, Mode mode) { modes.insert(path, mode); }
    void setDefaultMode(Mode mode) { defaultMode = mode; }
    // Pause between two pieces of a Slow response.
    void setSlowInterval(int milliseconds) { slowInterval = milliseconds; }

    // Paths of the GET requests received so far, in arrival order.
    QStringList requestedPaths() const { return paths; }
    // Sends the rest of every response that waits in a Stalled mode.
    void releaseStalled();

    static QString modelPath(const QString &fileName) { return QStringLiteral("/UpscaleModels/") + fileName; }
    static QString updatePath() { return QStringLiteral("/BrivelleAI/update.txt"); }

signals:
    void requestReceived(const QString &path);
    // A Stalled response has written its first half and now waits.
    void stalled(const QString &path);

private:
    struct Pending {
        QPointer<QTcpSocket> socket;
        QByteArray rest;
        bool chunked = false;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QString &path);
    bool bodyFor(const QString &path, QByteArray *body) const;
    void sendSlowly(QTcpSocket *socket, QByteArray body);
    static QByteArray chunk(const QByteArray &data);

    QTcpServer server;
    quint16 port = 0;
    QString servedFolder;
    QHash<QString, QByteArray> bodies;
    QHash<QString, Mode> modes;
    Mode defaultMode = Mode::Normal;
    int slowInterval = 20;
    QStringList paths;
    QList<Pending> stalledResponses;
};
