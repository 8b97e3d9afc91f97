#include "app/windowgeometry.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <climits>

class TestWindowGeometry : public QObject {
    Q_OBJECT

private slots:
    void restore_data();
    void restore();
    void nonNumericValuesReadAsZero();
    void roundTripThroughSettings_data();
    void roundTripThroughSettings();
};

void TestWindowGeometry::restore_data()
{
    QTest::addColumn<int>("posX");
    QTest::addColumn<int>("posY");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<QRect>("expected");

    const QSize hd(1920, 1080);
    QTest::newRow("first start") << 0 << 0 << 0 << 0 << hd << QRect(0, 0, 986, 513);
    QTest::newRow("fits as stored") << 200 << 150 << 1200 << 700 << hd << QRect(200, 150, 1200, 700);
    QTest::newRow("narrow width raised, x not tested again")
        << 1800 << 10 << 700 << 600 << hd << QRect(1800, 10, 986, 600);
    QTest::newRow("right edge pulls x back") << 1800 << 10 << 1000 << 600 << hd << QRect(920, 10, 1000, 600);
    QTest::newRow("negative x") << -5 << 10 << 1000 << 600 << hd << QRect(100, 10, 1000, 600);
    QTest::newRow("x beyond screen") << 1921 << 10 << 1000 << 600 << hd << QRect(100, 10, 1000, 600);
    QTest::newRow("x equal to screen width accepted, then pulled back")
        << 1920 << 10 << 1000 << 600 << hd << QRect(920, 10, 1000, 600);
    QTest::newRow("x equal to screen width kept with a small width")
        << 1920 << 10 << 500 << 600 << hd << QRect(1920, 10, 986, 600);
    QTest::newRow("width larger than screen keeps x")
        << 300 << 10 << 3000 << 600 << hd << QRect(300, 10, 1920, 600);
    QTest::newRow("width equal to screen fits at 0")
        << 0 << 10 << 1920 << 600 << hd << QRect(0, 10, 1920, 600);
    QTest::newRow("negative y") << 10 << -1 << 1000 << 600 << hd << QRect(10, 100, 1000, 600);
    QTest::newRow("y beyond screen") << 10 << 1081 << 1000 << 600 << hd << QRect(10, 100, 1000, 600);
    QTest::newRow("height larger than screen keeps y")
        << 10 << 300 << 1000 << 1500 << hd << QRect(10, 300, 1000, 1080);
    QTest::newRow("low height raised, y not tested again")
        << 10 << 1000 << 1000 << 200 << hd << QRect(10, 1000, 1000, 513);
    QTest::newRow("bottom edge pulls y back") << 10 << 900 << 1000 << 600 << hd << QRect(10, 480, 1000, 600);
    QTest::newRow("narrow screen still gets 986")
        << 0 << 0 << 0 << 0 << QSize(800, 600) << QRect(0, 0, 986, 513);
    QTest::newRow("narrow screen, stored 986 clamps to the screen")
        << 0 << 0 << 986 << 513 << QSize(800, 600) << QRect(0, 0, 800, 513);
    QTest::newRow("huge values") << INT_MAX << INT_MAX << INT_MAX << INT_MAX << hd
                                 << QRect(100, 100, 1920, 1080);
    QTest::newRow("most negative values")
        << INT_MIN << INT_MIN << INT_MIN << INT_MIN << hd << QRect(100, 100, 986, 513);
}

void TestWindowGeometry::restore()
{
    QFETCH(int, posX);
    QFETCH(int, posY);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QSize, screen);
    QFETCH(QRect, expected);
    QCOMPARE(WindowGeometry::restore(StoredGeometry{posX, posY, width, height}, screen), expected);
}

void TestWindowGeometry::nonNumericValuesReadAsZero()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QSettings settings(dir.filePath(QStringLiteral("g.ini")), QSettings::IniFormat);
    settings.setValue(QStringLiteral("posX"), QStringLiteral("left"));
    settings.setValue(QStringLiteral("posY"), QStringLiteral("12abc"));
    settings.setValue(QStringLiteral("width"), QStringLiteral("1200"));
    // "height" is missing.
    const StoredGeometry stored = WindowGeometry::read(settings);
    QCOMPARE(stored.posX, 0);
    QCOMPARE(stored.posY, 0);
    QCOMPARE(stored.width, 1200);
    QCOMPARE(stored.height, 0);
    QCOMPARE(WindowGeometry::restore(stored, QSize(1920, 1080)), QRect(0, 0, 1200, 513));
}

void TestWindowGeometry::roundTripThroughSettings_data()
{
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QSize>("screen");
    QTest::newRow("minimum at origin") << QRect(0, 0, 986, 513) << QSize(1920, 1080);
    QTest::newRow("middle") << QRect(311, 127, 1280, 720) << QSize(1920, 1080);
    QTest::newRow("whole screen") << QRect(0, 0, 2560, 1440) << QSize(2560, 1440);
    QTest::newRow("touching bottom right") << QRect(934, 567, 986, 513) << QSize(1920, 1080);
}

void TestWindowGeometry::roundTripThroughSettings()
{
    QFETCH(QRect, geometry);
    QFETCH(QSize, screen);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("g.ini"));
    {
        QSettings settings(path, QSettings::IniFormat);
        WindowGeometry::write(settings, geometry);
    }
    const QSettings settings(path, QSettings::IniFormat);
    QCOMPARE(WindowGeometry::restore(WindowGeometry::read(settings), screen), geometry);
}

QTEST_GUILESS_MAIN(TestWindowGeometry)
#include "tst_windowgeometry.moc"
