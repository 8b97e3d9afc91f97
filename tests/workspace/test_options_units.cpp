#include "workspace/storedOptions.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestOptionsUnits : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

private slots:
    void valueThatIsNotANumberReadsAsZero()
    {
        QSettings settings(dir.filePath(QStringLiteral("junk.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("upscaleValue"), QStringLiteral("big"));
        settings.setValue(QStringLiteral("gpu_idx"), QStringLiteral("first"));
        const StoredOptions options = readStoredOptions(settings);
        QCOMPARE(options.upscaleValue, 0);
        QCOMPARE(options.gpuIndex, 0);
    }

    void scaleLabel_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("x2") << 1 << QStringLiteral("Image Scale: 2x");
        QTest::newRow("x4") << 2 << QStringLiteral("Image Scale: 4x");
        QTest::newRow("stored out of range names the x4 network that runs") << 5 << QStringLiteral("Image Scale: 4x");
    }
    void scaleLabel()
    {
        QFETCH(int, value);
        QFETCH(QString, text);
        QCOMPARE(scaleLabelText(value), text);
    }

    void gpuIndexReset_data()
    {
        QTest::addColumn<int>("stored");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("expected");
        QTest::newRow("kept") << 1 << 2 << 1;
        QTest::newRow("device gone") << 3 << 2 << 0;
        QTest::newRow("one past the end") << 2 << 2 << 0;
        QTest::newRow("negative") << -1 << 2 << 0;
        QTest::newRow("no devices") << 0 << 0 << 0;
    }
    void gpuIndexReset()
    {
        QFETCH(int, stored);
        QFETCH(int, count);
        QFETCH(int, expected);
        QCOMPARE(validGpuIndex(stored, count), expected);
    }
};

QTEST_GUILESS_MAIN(TestOptionsUnits)
#include "test_options_units.moc"
