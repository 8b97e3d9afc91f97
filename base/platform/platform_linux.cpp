#include "base/platform/cpuquota.h"
#include "base/platform/installfolder.h"
#include "base/platform/meminfo.h"
#include "base/platform/platform.h"

#include <QDesktopServices>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sched.h>
#include <sys/file.h>
#include <thread>
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

namespace {

QByteArray readSystemFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The tightest quota of the process's control group and of every group above it.
int cgroupProcessors()
{
    int limit = 0;
    auto tighten = [&limit](int cpus) {
        if (cpus > 0)
            limit = limit > 0 ? std::min(limit, cpus) : cpus;
    };
    // cgroup v2: one line "0::/path" names the group.
    for (const QByteArray &line : readSystemFile(QStringLiteral("/proc/self/cgroup")).split('\n')) {
        if (!line.startsWith("0::"))
            continue;
        QString group = QString::fromUtf8(line.mid(3)).trimmed();
        const QString root = QStringLiteral("/sys/fs/cgroup");
        while (true) {
            tighten(cpusOfCgroupLimit(readSystemFile(root + group + QStringLiteral("/cpu.max"))));
            if (group.isEmpty() || group == QLatin1String("/"))
                break;
            group.truncate(std::max<qsizetype>(group.lastIndexOf(QLatin1Char('/')), 0));
        }
    }
    // cgroup v1, as its controller is usually mounted.
    for (const char *folder : {"/sys/fs/cgroup/cpu,cpuacct", "/sys/fs/cgroup/cpu"}) {
        const QString dir = QString::fromLatin1(folder);
        tighten(cpusOfCfsQuota(readSystemFile(dir + QStringLiteral("/cpu.cfs_quota_us")),
                               readSystemFile(dir + QStringLiteral("/cpu.cfs_period_us"))));
    }
    return limit;
}

} // namespace

int usableProcessors()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set)
                                                            : int(std::thread::hardware_concurrency());
    if (const int quota = cgroupProcessors(); quota > 0)
        count = std::min(count, quota);
    return std::max(count, 1);
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

void removeEmptyFolderNow(const char *encodedPath)
{
    ::rmdir(encodedPath);
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
