#include "workspace/engine/outputNaming.h"

#include <QFileInfo>

namespace engine {

QString displayName(const QString &path)
{
    constexpr qsizetype kLimit = 256;
    if (path.size() <= kLimit)
        return path;
    return path.left(127) + QStringLiteral("...") + path.right(126);
}

QString resultStem(const QString &inputPath)
{
    const QFileInfo info(inputPath);
    // A name that is only a suffix (".png") keeps all of it, so the result is not named ".png".
    const QString stem = info.completeBaseName();
    return stem.isEmpty() ? info.fileName() : stem;
}

QString outputCandidate(const QString &folder, const QString &inputPath, int k, const QString &suffix)
{
    const QString base = resultStem(inputPath);
    if (k <= 1)
        return folder + QLatin1Char('/') + base + QLatin1Char('.') + suffix;
    return folder + QLatin1Char('/') + base + QLatin1Char('(') + QString::number(k) + QStringLiteral(").") +
           suffix;
}

} // namespace engine
