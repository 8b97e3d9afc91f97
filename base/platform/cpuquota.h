#pragma once

#include <QByteArray>

namespace Platform {

// The processors a CPU quota of the kernel's control groups allows, rounded up; 0 when the text sets
// no limit or cannot be read. `cpuMax` is cgroup v2's cpu.max ("200000 100000", "max 100000");
// quota and period are cgroup v1's cpu.cfs_quota_us and cpu.cfs_period_us (-1: no limit).
int cpusOfCgroupLimit(const QByteArray &cpuMax);
int cpusOfCfsQuota(const QByteArray &quota, const QByteArray &period);

} // namespace Platform
