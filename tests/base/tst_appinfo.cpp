#include "base/AppInfo.h"
#include "base/vendorserver.h"
#include "support/browsercatcher.h"

#include <QGuiApplication>
#include <QTest>
#include <QUrl>

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
    AppInfo::openWebSite();

    QCOMPARE(catcher.opened, QList<QUrl>{expected});
    QCOMPARE(catcher.opened.constFirst().path(), QString());
}

QTEST_MAIN(TestAppInfo)
#include "tst_appinfo.moc"
