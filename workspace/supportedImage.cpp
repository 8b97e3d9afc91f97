#include "workspace/supportedImage.h"

#include "base/nativeName.h"

#include <QFileInfo>
#include <QMimeData>
#include <QStringList>
#include <QUrl>

namespace {

bool hasListedSuffix(const QString &path, bool withSvg)
{
    const QFileInfo info(path);
    if (NativeName::kindOf(path) != NativeName::Kind::File)
        return false;
    const QString complete = info.completeSuffix();
    const QString suffix = complete.mid(complete.lastIndexOf(QLatin1Char('.')) + 1);
    static const QStringList listed = {QStringLiteral("gif"),  QStringLiteral("heif"), QStringLiteral("heic"),
                                       QStringLiteral("avif"), QStringLiteral("jxl"),  QStringLiteral("jpg"),
                                       QStringLiteral("jpeg"), QStringLiteral("png"),  QStringLiteral("tif"),
                                       QStringLiteral("tiff"), QStringLiteral("webp")};
    for (const QString &candidate : listed) {
        if (QString::compare(suffix, candidate, Qt::CaseInsensitive) == 0)
            return true;
    }
    return withSvg && QString::compare(suffix, QStringLiteral("svg"), Qt::CaseInsensitive) == 0;
}

} // namespace

bool isSupportedImage(const QString &path)
{
    return hasListedSuffix(path, false);
}

bool acceptsDraggedImage(const QString &path)
{
    return hasListedSuffix(path, true);
}

std::optional<QString> firstDraggedPath(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().isEmpty())
        return std::nullopt;
    return mime->urls().constFirst().toLocalFile();
}
