#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace Platform {

// The "MemAvailable:" line of the kernel's /proc/meminfo text, in bytes; 0 when the line is absent
// or malformed (kernels before 3.14 do not have it).
quint64 parseMemAvailable(const QByteArray &meminfo);

} // namespace Platform
