#include "base/platform/installfolder.h"
#include "base/platform/meminfo.h"
#include "base/platform/platform.h"

#include <QDesktopServices>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

qintptr lockFile(const QString &path, bool wait)
{
    // flock, not fcntl: fcntl locks of a process vanish when any of its descriptors of the file
    // closes, and the writer closes its own before the rename.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    int rc;
    do {
        rc = ::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void unlockFile(qintptr handle)
{
    if (handle >= 0)
        ::close(int(handle));
}

void removeFileNow(const char *encodedPath)
{
    ::unlink(encodedPath);
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
