#include "cli/streams.h"

#include "base/platform/platform.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// What a signal handler removes: encoded paths written before they can be needed.
struct SignalSafePath {
    std::array<char, 4096> bytes{};
    std::atomic<bool> set{false};
    void store(const QString &path)
    {
        const QByteArray encoded = QFile::encodeName(path);
        set.store(false);
        if (encoded.size() >= qsizetype(bytes.size()))
            return;
        std::memcpy(bytes.data(), encoded.constData(), size_t(encoded.size()) + 1);
        set.store(true);
    }
};
SignalSafePath inputFile;
SignalSafePath resultFile;
SignalSafePath folderPath;

} // namespace

void removeStreamFilesNow()
{
    for (SignalSafePath *file : {&inputFile, &resultFile}) {
        if (file->set.load())
            Platform::removeFileNow(file->bytes.data());
    }
    if (folderPath.set.load())
        Platform::removeEmptyFolderNow(folderPath.bytes.data());
}

StreamFolder::~StreamFolder()
{
    remove();
}

void StreamFolder::remove()
{
    if (folder.isEmpty())
        return;
    inputFile.set.store(false);
    resultFile.set.store(false);
    folderPath.set.store(false);
    QDir(folder).removeRecursively();
    folder.clear();
}

bool StreamFolder::create(QString *error)
{
    QTemporaryDir made(QDir::tempPath() + QStringLiteral("/brivelle-cli-XXXXXX"));
    if (!made.isValid()) {
        *error = QStringLiteral("cannot make a temporary folder in %1: %2")
                     .arg(QDir::tempPath(), made.errorString());
        return false;
    }
    // Removed by this object, however the run ends.
    made.setAutoRemove(false);
    folder = made.path();
    folderPath.store(folder);
    return true;
}

QString StreamFolder::takeStandardInput(QString *error)
{
    QFile in;
    if (!in.open(stdin, QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read standard input: %1").arg(in.errorString());
        return QString();
    }
    const QByteArray bytes = in.readAll();
    if (bytes.isEmpty()) {
        *error = QStringLiteral("standard input holds no picture: nothing came");
        return QString();
    }
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    // The suffix names the format for every later test of the input, as a file's name would.
    QByteArray format = QImageReader::imageFormat(&buffer);
    if (format == "jpeg")
        format = "jpg";
    if (format.isEmpty()) {
        *error = QStringLiteral("standard input holds no picture this program reads");
        return QString();
    }
    const QString path = folder + QStringLiteral("/stdin.") + QString::fromLatin1(format);
    inputFile.store(path);
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.flush()) {
        *error = QStringLiteral("cannot keep standard input in %1: %2").arg(folder, out.errorString());
        return QString();
    }
    return path;
}

void StreamFolder::expectResult(const QString &resultPath)
{
    resultFile.store(resultPath);
}

bool StreamFolder::sendResult(const QString &resultPath, QString *error)
{
    QFile result(resultPath);
    if (!result.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the result back: %1").arg(result.errorString());
        return false;
    }
    char chunk[1 << 16];
    for (qint64 n; (n = result.read(chunk, sizeof chunk)) > 0;) {
        if (std::fwrite(chunk, 1, size_t(n), stdout) != size_t(n)) {
            *error = QStringLiteral("standard output refused the result");
            return false;
        }
    }
    if (std::fflush(stdout) != 0) {
        *error = QStringLiteral("standard output refused the result");
        return false;
    }
    result.close();
    QFile::remove(resultPath);
    return true;
}
