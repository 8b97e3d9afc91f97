#include "base/platform/cpuquota.h"

#include <QList>

namespace Platform {

namespace {

int cpusOf(qint64 quota, qint64 period)
{
    if (quota <= 0 || period <= 0)
        return 0;
    // Rounded up: 1.5 processors' worth of time keeps two threads busy half of the time each,
    // where one thread would leave half a processor unused.
    const qint64 cpus = (quota + period - 1) / period;
    return int(qMin<qint64>(cpus, 1 << 16));
}

} // namespace

int cpusOfCgroupLimit(const QByteArray &cpuMax)
{
    const QList<QByteArray> fields = cpuMax.simplified().split(' ');
    if (fields.size() != 2)
        return 0;
    bool quotaOk = false;
    bool periodOk = false;
    const qint64 quota = fields.at(0).toLongLong(&quotaOk);
    const qint64 period = fields.at(1).toLongLong(&periodOk);
    return quotaOk && periodOk ? cpusOf(quota, period) : 0;
}

int cpusOfCfsQuota(const QByteArray &quota, const QByteArray &period)
{
    bool quotaOk = false;
    bool periodOk = false;
    const qint64 q = quota.trimmed().toLongLong(&quotaOk);
    const qint64 p = period.trimmed().toLongLong(&periodOk);
    return quotaOk && periodOk ? cpusOf(q, p) : 0;
}

} // namespace Platform
