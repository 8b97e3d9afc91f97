#include "cli/manifest.h"

#include "base/nativeName.h"
#include "base/platform/platform.h"
#include "cli/cliReporter.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>

Manifest::~Manifest()
{
    file.close();
    Platform::unlockFile(lock);
}

std::unique_ptr<Manifest> Manifest::open(const QString &path, QString *error)
{
    std::unique_ptr<Manifest> manifest(new Manifest);
    QDir().mkpath(QFileInfo(path).absolutePath());
    manifest->file.setFileName(path);
    if (!manifest->file.open(QIODevice::ReadWrite | QIODevice::Append)) {
        *error = QStringLiteral("cannot open the manifest %1: %2").arg(path, manifest->file.errorString());
        return nullptr;
    }
    // The lock is a second handle of the same file: whoever holds the file holds the lock, and a run
    // that is killed drops it with its process.
    manifest->lock = Platform::lockFile(path, false);
    if (manifest->lock < 0) {
        *error = QStringLiteral("the manifest %1 is in use by another run").arg(path);
        return nullptr;
    }
    manifest->file.seek(0);
    while (!manifest->file.atEnd()) {
        const QByteArray line = manifest->file.readLine();
        // A run killed in the middle of a line leaves half of one: it says nothing.
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        const QString input = record.value(QStringLiteral("input")).toString();
        if (input.isEmpty())
            continue;
        if (record.value(QStringLiteral("status")).toString() == QLatin1String("written") ||
            record.value(QStringLiteral("status")).toString() == QLatin1String("skipped"))
            manifest->earlier.insert(NativeName::absolute(input),
                                     {record.value(QStringLiteral("output")).toString(),
                                      qint64(record.value(QStringLiteral("bytes")).toDouble(-1))});
        else
            manifest->earlier.remove(NativeName::absolute(input));
    }
    // A line cut off by a killed run is ended, so the next record starts a line of its own.
    if (manifest->file.size() > 0) {
        manifest->file.seek(manifest->file.size() - 1);
        char last = '\n';
        manifest->file.getChar(&last);
        if (last != '\n')
            manifest->file.write("\n");
    }
    return manifest;
}

QString Manifest::writtenBefore(const QString &input) const
{
    const auto found = earlier.constFind(NativeName::absolute(input));
    if (found == earlier.cend() || found->output.isEmpty())
        return QString();
    return NativeName::fileSize(found->output) == found->bytes ? found->output : QString();
}

bool Manifest::append(const QJsonObject &record)
{
    const QByteArray line = jsonLine(record);
    return file.write(line) == line.size() && file.flush();
}
