#include "workspace/engine/resultMark.h"

#include "base/nativeName.h"
#include "workspace/engine/metadata.h"

#include <QCryptographicHash>
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
    // QFileInfo would give every byte that is not UTF-8 the same character: two inputs, one id.
    const QByteArray path = NativeName::hasEscapes(inputPath)
                                ? NativeName::encode(NativeName::absolute(inputPath))
                                : QFileInfo(inputPath).absoluteFilePath().toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Sha256).toHex().left(16));
}

// The suffixes results are written under (OutputFormat::suffix).
bool resultSuffix(const QString &suffix)
{
    static const QStringList suffixes{QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("webp"),
                                      QStringLiteral("tif"), QStringLiteral("jxl"), QStringLiteral("avif")};
    return suffixes.contains(suffix);
}

QString markOf(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return QString();
    const QString suffix = info.suffix().toLower();
    if (suffix == QLatin1String("png"))
        return QImageReader(path, "png").text(kKey);
    return resultSuffix(suffix) ? readXmpMark(path) : QString();
}

} // namespace

void markAsResult(QImage &image, const QString &inputPath)
{
    image.setText(kKey, sourceId(inputPath) + QLatin1Char(' ') + QFileInfo(inputPath).fileName());
}

QString resultMarkOf(const QImage &image)
{
    return image.text(kKey);
}

Problem carryMarkInto(const QImage &image, const QString &path)
{
    const QString mark = image.text(kKey);
    return mark.isEmpty() ? Problem() : writeXmpMark(path, mark);
}

bool isMarkedResult(const QString &path)
{
    return !markOf(NativeName::reachable(path)).isEmpty();
}

ResultIndex::ResultIndex(const QString &folder)
{
    // Listed from the names' bytes: a result named after an input that is not UTF-8 is found too,
    // and hidden ones (the result of ".a.png" is ".a.png").
    QStringList names = NativeName::entries(folder);
    names.sort();
    for (const QString &name : names) {
        const QString suffix = name.section(QLatin1Char('.'), -1).toLower();
        if (!name.contains(QLatin1Char('.')) || !resultSuffix(suffix))
            continue;
        const QString path = folder + QLatin1Char('/') + name;
        const QString mark = markOf(NativeName::reachable(path));
        if (!mark.isEmpty())
            bySource.insert(mark.section(QLatin1Char(' '), 0, 0), path);
    }
}

QString ResultIndex::resultOf(const QString &inputPath) const
{
    return bySource.value(sourceId(inputPath));
}

} // namespace engine
