#include "base/AppInfo.h"

#include "base/platform/platform.h"
#include "base/vendorserver.h"
#include "base/version.h"

#include <QDesktopServices>
#include <QStandardPaths>

QString AppInfo::appTitle()
{
    return QStringLiteral("Brivelle AI");
}

QString AppInfo::versionString()
{
    return QString::number(majorVersion) + QLatin1Char('.') + QString::number(minorVersion) +
           QLatin1Char('.') + QString::number(subMinorVersion);
}

QString AppInfo::installFolder()
{
    return Platform::installFolder();
}

QString AppInfo::picturesFolder()
{
    return Platform::picturesFolder();
}

bool AppInfo::openWebSite()
{
    return QDesktopServices::openUrl(VendorServer::webSiteUrl());
}

QString AppInfo::pipelineCacheFolder()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return cache.isEmpty() ? QString() : cache + QStringLiteral("/brivelle");
}
