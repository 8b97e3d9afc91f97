#include "base/platform/cpuquota.h"
#include "base/platform/installfolder.h"
#include "base/platform/meminfo.h"
#include "base/platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

// Every path the platform layer reads (settings, data and user folders) is redirected into a
// temporary home, so the tests never see or touch the real user's files.
class TestPlatform : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void parseMemAvailable_data();
    void parseMemAvailable();
    void availableMemoryIsReported();
    void cpuQuota_data();
    void cpuQuota();
    void installFolderFromSettings_data();
    void installFolderFromSettings();
    void fallbackFolderIsCreatedOnFirstUse();
    void picturesFollowXdgUserDirs();

private:
    QTemporaryDir home;
};

void TestPlatform::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       home.filePath(QStringLiteral("config")));
}

void TestPlatform::init()
{
    QDir(home.filePath(QStringLiteral("data"))).removeRecursively();
    QSettings(QStringLiteral("Corvane"), QStringLiteral("Brivelle AI")).clear();
}

void TestPlatform::parseMemAvailable_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint64>("bytes");
    QTest::newRow("kernel text") << QByteArray("MemTotal:       16318480 kB\nMemFree:         1208936 kB\n"
                                               "MemAvailable:    9523340 kB\nBuffers:          412220 kB\n")
                                 << quint64(9523340) * 1024;
    QTest::newRow("first line") << QByteArray("MemAvailable: 1 kB\n") << quint64(1024);
    QTest::newRow("no trailing newline") << QByteArray("MemFree: 5 kB\nMemAvailable: 7 kB") << quint64(7168);
    QTest::newRow("old kernel without the line")
        << QByteArray("MemTotal: 100 kB\nMemFree: 50 kB\n") << quint64(0);
    QTest::newRow("empty") << QByteArray() << quint64(0);
    QTest::newRow("not a number") << QByteArray("MemAvailable: lots kB\n") << quint64(0);
    QTest::newRow("negative") << QByteArray("MemAvailable: -5 kB\n") << quint64(0);
    QTest::newRow("unknown unit") << QByteArray("MemAvailable: 5 MB\n") << quint64(0);
    QTest::newRow("overflowing") << QByteArray("MemAvailable: 18446744073709551615 kB\n") << quint64(0);
    QTest::newRow("similar key ignored")
        << QByteArray("XMemAvailable: 9 kB\nMemAvailable: 3 kB\n") << quint64(3072);
}

void TestPlatform::parseMemAvailable()
{
    QFETCH(QByteArray, text);
    QFETCH(quint64, bytes);
    QCOMPARE(Platform::parseMemAvailable(text), bytes);
}

void TestPlatform::cpuQuota_data()
{
    QTest::addColumn<QByteArray>("cpuMax");
    QTest::addColumn<QByteArray>("quota");
    QTest::addColumn<QByteArray>("period");
    QTest::addColumn<int>("cpus");
    QTest::newRow("two processors") << QByteArray("200000 100000\n") << QByteArray() << QByteArray() << 2;
    QTest::newRow("one and a half, rounded up")
        << QByteArray("150000 100000") << QByteArray() << QByteArray() << 2;
    QTest::newRow("a tenth") << QByteArray("10000 100000") << QByteArray() << QByteArray() << 1;
    QTest::newRow("no limit") << QByteArray("max 100000\n") << QByteArray() << QByteArray() << 0;
    QTest::newRow("garbage") << QByteArray("lots") << QByteArray() << QByteArray() << 0;
    QTest::newRow("v1 two") << QByteArray() << QByteArray("200000\n") << QByteArray("100000\n") << 2;
    QTest::newRow("v1 no limit") << QByteArray() << QByteArray("-1\n") << QByteArray("100000\n") << 0;
    QTest::newRow("v1 zero period") << QByteArray() << QByteArray("5") << QByteArray("0") << 0;
}

void TestPlatform::cpuQuota()
{
    QFETCH(QByteArray, cpuMax);
    QFETCH(QByteArray, quota);
    QFETCH(QByteArray, period);
    QFETCH(int, cpus);
    QCOMPARE(cpuMax.isEmpty() ? Platform::cpusOfCfsQuota(quota, period) : Platform::cpusOfCgroupLimit(cpuMax),
             cpus);
    const int usable = Platform::usableProcessors();
    QVERIFY(usable >= 1 && usable <= int(std::thread::hardware_concurrency()));
}

void TestPlatform::availableMemoryIsReported()
{
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (!meminfo.open(QIODevice::ReadOnly) || !meminfo.readAll().contains("MemAvailable:"))
        QSKIP("this kernel reports no available memory");
    QVERIFY(Platform::availablePhysicalMemory() > 0);
}

void TestPlatform::installFolderFromSettings_data()
{
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("expectFallback");
    QTest::newRow("stored folder used as is") << QVariant(QStringLiteral("/opt/brivelle/")) << false;
    QTest::newRow("no trailing separator added") << QVariant(QStringLiteral("/opt/brivelle")) << false;
    QTest::newRow("absent") << QVariant() << true;
    QTest::newRow("empty") << QVariant(QString()) << true;
}

void TestPlatform::installFolderFromSettings()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, expectFallback);
    if (stored.isValid())
        QSettings(QStringLiteral("Corvane"), QStringLiteral("Brivelle AI"))
            .setValue(QStringLiteral("Path"), stored);

    const QString folder = Platform::installFolder();
    if (expectFallback) {
        QCOMPARE(folder, home.filePath(QStringLiteral("data/Corvane/Brivelle AI")));
        QVERIFY(!QDir(folder).isRoot());
    } else {
        QCOMPARE(folder, stored.toString());
    }
}

void TestPlatform::fallbackFolderIsCreatedOnFirstUse()
{
    const QString fallback = home.filePath(QStringLiteral("data/Corvane/Brivelle AI"));
    QVERIFY(!QFileInfo::exists(fallback));
    QCOMPARE(Platform::installFolder(), fallback);
    QVERIFY(QFileInfo(fallback).isDir());
    // A stored folder is never created: it belongs to the installer.
    QCOMPARE(Platform::installFolderOrFallback(home.filePath(QStringLiteral("missing")), fallback),
             home.filePath(QStringLiteral("missing")));
    QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral("missing"))));
}

void TestPlatform::picturesFollowXdgUserDirs()
{
    QDir().mkpath(home.filePath(QStringLiteral("config")));
    QFile dirs(home.filePath(QStringLiteral("config/user-dirs.dirs")));
    QVERIFY(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_PICTURES_DIR=\"$HOME/Bilder\"\n");
    dirs.close();
    QCOMPARE(Platform::picturesFolder(), home.filePath(QStringLiteral("Bilder")));
}

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
