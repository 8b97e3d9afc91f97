#include "workspace/engine/resultMark.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>

namespace engine {

namespace {

// Without spaces: Qt reads a key with spaces back as part of the description.
const QString kKey = QStringLiteral("BrivelleAI-Source");

// The input's absolute path, hashed: two inputs of the same name in different folders are told apart
// without writing the user's folder names into every result.
QString sourceId(const QString &inputPath)
{
    const QByteArray path = QFileInfo(inputPath).absoluteFilePath().toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(16));
}

QString markOf(const QString &path)
{
    if (!QFileInfo(path).isFile() || !path.endsWith(QStringLiteral(".png"), Qt::CaseInsensitive))
        return QString();
    QImageReader reader(path, "png");
    return reader.text(kKey);
}

} // namespace

void markAsResult(QImage &image, const QString &inputPath)
{
    image.setText(kKey, sourceId(inputPath) + QLatin1Char(' ') + QFileInfo(inputPath).fileName());
}

bool isMarkedResult(const QString &path)
{
    return !markOf(path).isEmpty();
}

ResultIndex::ResultIndex(const QString &folder)
{
    const QStringList names = QDir(folder).entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name);
    for (const QString &name : names) {
        const QString path = QDir(folder).filePath(name);
        const QString mark = markOf(path);
        if (!mark.isEmpty())
            bySource.insert(mark.section(QLatin1Char(' '), 0, 0), path);
    }
}

QString ResultIndex::resultOf(const QString &inputPath) const
{
    return bySource.value(sourceId(inputPath));
}

} // namespace engine
