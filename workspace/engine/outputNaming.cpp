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

QString outputCandidate(const QString &folder, const QString &inputPath, int k, const QString &suffix)
{
    const QString base = QFileInfo(inputPath).baseName();
    if (k <= 1)
        return folder + QLatin1Char('/') + base + QLatin1Char('.') + suffix;
    return folder + QLatin1Char('/') + base + QLatin1Char('(') + QString::number(k) + QStringLiteral(").") +
           suffix;
}

} // namespace engine
