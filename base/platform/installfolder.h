#pragma once

#include <QString>

namespace Platform {

// The stored install folder when there is one, else the per-user fallback folder, which is
// created here. Both systems share this rule; only where the stored value lives differs.
QString installFolderOrFallback(const QString &stored, const QString &fallback);

// Where the per-user fallback lies: "Corvane/Brivelle AI" under the user's data folder.
QString fallbackInstallFolder();

} // namespace Platform
