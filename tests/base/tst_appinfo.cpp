#include "base/AppInfo.h"
#include "base/vendorserver.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QTest>
#include <QUrl>

// Takes the addresses that would go to the browser.
class BrowserCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl &url) { opened.append(url); }
};

class TestAppInfo : public QObject {
    Q_OBJECT

private slots:
    void titleAndVersion();
    void openWebSiteOpensTheRoot_data();
    void openWebSiteOpensTheRoot();
};

void TestAppInfo::titleAndVersion()
{
    QCOMPARE(AppInfo::appTitle(), QStringLiteral("Brivelle AI"));
    QCOMPARE(AppInfo::versionString(), QStringLiteral("1.4.0"));
}

void TestAppInfo::openWebSiteOpensTheRoot_data()
{
    QTest::addColumn<QByteArray>("origin");
    QTest::addColumn<QUrl>("expected");
    QTest::newRow("built-in") << QByteArray() << QUrl(QStringLiteral("https://www.brivelle.example"));
    QTest::newRow("loopback") << QByteArray("http://127.0.0.1:8123")
                              << QUrl(QStringLiteral("http://127.0.0.1:8123"));
}

void TestAppInfo::openWebSiteOpensTheRoot()
{
    QFETCH(QByteArray, origin);
    QFETCH(QUrl, expected);
    if (origin.isEmpty())
        qunsetenv("BRIVELLE_SERVER_URL");
    else
        qputenv("BRIVELLE_SERVER_URL", origin);

    BrowserCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    AppInfo::openWebSite();
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    QCOMPARE(catcher.opened, QList<QUrl>{expected});
    QCOMPARE(catcher.opened.constFirst().path(), QString());
}

QTEST_MAIN(TestAppInfo)
#include "tst_appinfo.moc"
