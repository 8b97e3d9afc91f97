#include "base/platform/installfolder.h"
#include "base/platform/meminfo.h"
#include "base/platform/platform.h"

#include <QDesktopServices>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

namespace Platform {

QString installFolder()
{
    // The Windows installer leaves the folder in the registry; here the same key lives in the
    // per-user settings.
    const QSettings settings(QStringLiteral("Corvane"), QStringLiteral("Brivelle AI"));
    return installFolderOrFallback(settings.value(QStringLiteral("Path")).toString(),
                                   fallbackInstallFolder());
}

QString picturesFolder()
{
    // Follows the XDG user folders (user-dirs.dirs), so a localised "Bilder" is found too.
    return QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
}

quint64 availablePhysicalMemory()
{
    // /proc files report size 0, so read until the end instead of trusting size().
    QFile file(QStringLiteral("/proc/meminfo"));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    return parseMemAvailable(file.readAll());
}

QString systemName()
{
    return QStringLiteral("Linux");
}

bool openAddress(const QUrl &url)
{
    return QDesktopServices::openUrl(url);
}

} // namespace Platform
