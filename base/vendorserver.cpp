#include "base/vendorserver.h"

#include <QByteArray>
#include <QtGlobal>

namespace VendorServer {
namespace {

// The override keeps the scheme of the origin it gives: a loopback test server speaks plain http
// for every resource, a mirror may speak https for every resource.
QUrl originFor(const QString &defaultScheme)
{
    const QByteArray overrideOrigin = qgetenv("BRIVELLE_SERVER_URL");
    if (!overrideOrigin.isEmpty()) {
        QUrl origin(QString::fromUtf8(overrideOrigin), QUrl::TolerantMode);
        if (origin.isValid() && !origin.scheme().isEmpty() && !origin.host().isEmpty()) {
            QUrl url;
            url.setScheme(origin.scheme());
            url.setHost(origin.host());
            url.setPort(origin.port());
            return url;
        }
    }
    QUrl url;
    url.setScheme(defaultScheme);
    url.setHost(QString::fromLatin1(defaultHost));
    return url;
}

QUrl withPath(const QString &scheme, const QString &path)
{
    QUrl url = originFor(scheme);
    url.setPath(path);
    return url;
}

} // namespace

QUrl webSiteUrl()
{
    return originFor(QStringLiteral("https"));
}

QUrl productPageUrl()
{
    return withPath(QStringLiteral("https"), QStringLiteral("/BrivelleAI.php"));
}

QUrl updateFileUrl()
{
    return withPath(QStringLiteral("http"), QStringLiteral("/BrivelleAI/update.txt"));
}

QUrl modelFileUrl(const QString &fileName)
{
    return withPath(QStringLiteral("https"), QStringLiteral("/UpscaleModels/") + fileName);
}

} // namespace VendorServer
