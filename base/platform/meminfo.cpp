#include "base/platform/meminfo.h"

#include <QList>

#include <limits>

namespace Platform {

quint64 parseMemAvailable(const QByteArray &meminfo)
{
    const QList<QByteArray> lines = meminfo.split('\n');
    for (const QByteArray &line : lines) {
        if (!line.startsWith("MemAvailable:"))
            continue;
        const QList<QByteArray> fields = line.mid(int(sizeof("MemAvailable:")) - 1).simplified().split(' ');
        if (fields.size() != 2 || fields.at(1) != "kB")
            return 0;
        bool ok = false;
        const qulonglong kib = fields.at(0).toULongLong(&ok);
        if (!ok || kib > std::numeric_limits<quint64>::max() / 1024)
            return 0;
        return quint64(kib) * 1024;
    }
    return 0;
}

} // namespace Platform
