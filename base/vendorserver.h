#pragma once

#include <QString>
#include <QUrl>

// The vendor's web server: one origin (scheme, host, port) for all four resources.
// BRIVELLE_SERVER_URL replaces the whole origin, for mirrors and for tests on loopback.
namespace VendorServer {

// The built-in host lies under a reserved domain (RFC 2606): the real server is not known here.
inline constexpr char defaultHost[] = "www.brivelle.example";

// Web site root (https, no path), for the browser.
QUrl webSiteUrl();
// Product page "/BrivelleAI.php" (https).
QUrl productPageUrl();
// Update file "/BrivelleAI/update.txt" (plain http).
QUrl updateFileUrl();
// One model file under "/UpscaleModels/" (https).
QUrl modelFileUrl(const QString &fileName);

} // namespace VendorServer
