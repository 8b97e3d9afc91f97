// The local stand-in for the vendor's web server that `make run` starts: serves the demo model pack
// and an update file on 127.0.0.1 until it is stopped.
#include "support/testvendorserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Serves model files and an update file on 127.0.0.1."));
    parser.addHelpOption();
    const QCommandLineOption folderOption(QStringLiteral("folder"),
                                          QStringLiteral("Folder with the model files and update.txt."),
                                          QStringLiteral("dir"));
    const QCommandLineOption portOption(QStringLiteral("port"), QStringLiteral("Port (0: any free one)."),
                                        QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption portFileOption(QStringLiteral("port-file"),
                                            QStringLiteral("Writes the port it listens on into this file."),
                                            QStringLiteral("file"));
    const QCommandLineOption slowOption(QStringLiteral("slow"),
                                        QStringLiteral("Sends bodies in pieces, every given milliseconds."),
                                        QStringLiteral("ms"));
    parser.addOptions({folderOption, portOption, portFileOption, slowOption});
    parser.process(app);

    QTextStream err(stderr);
    if (!parser.isSet(folderOption)) {
        err << "--folder is required\n";
        return 2;
    }
    TestVendorServer server;
    server.setFolder(parser.value(folderOption));
    const QByteArray page =
        "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Brivelle AI</title></head>"
        "<body><h1>Brivelle AI</h1><p>Local stand-in for the vendor's web site.</p></body></html>\n";
    server.setBody(QStringLiteral("/"), page);
    server.setBody(QStringLiteral("/BrivelleAI.php"), page);
    if (parser.isSet(slowOption)) {
        server.setDefaultMode(TestVendorServer::Mode::Slow);
        server.setSlowInterval(parser.value(slowOption).toInt());
    }
    if (!server.listen(quint16(parser.value(portOption).toUInt()))) {
        err << "cannot listen on 127.0.0.1:" << parser.value(portOption) << "\n";
        return 1;
    }
    if (parser.isSet(portFileOption)) {
        QFile portFile(parser.value(portFileOption));
        if (!portFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            err << "cannot write " << parser.value(portFileOption) << "\n";
            return 1;
        }
        portFile.write(QByteArray::number(server.origin().port()) + "\n");
    }
    QObject::connect(&server, &TestVendorServer::requestReceived, &app,
                     [&err](const QString &path) { err << "GET " << path << Qt::endl; });
    err << "serving " << parser.value(folderOption) << " at " << server.origin().toString() << Qt::endl;
    return app.exec();
}
