#include "base/platform/installfolder.h"

#include <QDir>
#include <QStandardPaths>

namespace Platform {

QString installFolderOrFallback(const QString &stored, const QString &fallback)
{
    if (!stored.isEmpty())
        return stored;
    // Model files are looked for and downloaded here, so it has to exist before they are.
    QDir().mkpath(fallback);
    return fallback;
}

QString fallbackInstallFolder()
{
    // The application object sets no organisation or application name, so the folder is named here.
    const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return base + QStringLiteral("/Corvane/Brivelle AI");
}

} // namespace Platform
