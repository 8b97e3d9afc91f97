#pragma once

#include <QString>

// Keeps windows.h from defining min and max over std::numeric_limits.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace Platform {

// Reads one plain string value (REG_SZ only: an expandable string or any other type counts as
// missing). True with `value` set on success; false with `value` empty otherwise.
bool readRegistryString(HKEY root, const QString &subKey, const QString &name, QString &value);

} // namespace Platform
