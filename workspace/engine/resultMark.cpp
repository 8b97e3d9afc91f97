#include "workspace/engine/resultMark.h"

#include "workspace/engine/metadata.h"

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
    const QFileInfo info(path);
    if (!info.isFile())
        return QString();
    const QString suffix = info.suffix().toLower();
    if (suffix == QLatin1String("png"))
        return QImageReader(path, "png").text(kKey);
    if (suffix == QLatin1String("jpg") || suffix == QLatin1String("webp"))
        return readXmpMark(path);
    return QString();
}

} // namespace

void markAsResult(QImage &image, const QString &inputPath)
{
    image.setText(kKey, sourceId(inputPath) + QLatin1Char(' ') + QFileInfo(inputPath).fileName());
}

QString carryMarkInto(const QImage &image, const QString &path)
{
    const QString mark = image.text(kKey);
    return mark.isEmpty() ? QString() : writeXmpMark(path, mark);
}

bool isMarkedResult(const QString &path)
{
    return !markOf(path).isEmpty();
}

ResultIndex::ResultIndex(const QString &folder)
{
    // Hidden too: the result of ".a.png" is ".a.png".
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("*.png"), QStringLiteral("*.jpg"), QStringLiteral("*.webp")},
                               QDir::Files | QDir::Hidden, QDir::Name);
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
