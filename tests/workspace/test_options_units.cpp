#include "workspace/storedOptions.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class TestOptionsUnits : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    QString storePath() const { return dir.filePath(QStringLiteral("store.ini")); }

private slots:
    void defaultsOfAnEmptyStore()
    {
        QSettings settings(dir.filePath(QStringLiteral("empty.ini")), QSettings::IniFormat);
        const StoredOptions options = readStoredOptions(settings);
        QVERIFY(options.outputFolder.isEmpty());
        QCOMPARE(options.upscaleValue, 1);
        QCOMPARE(options.processEngine, 0);
        QCOMPARE(options.gpuIndex, 0);
    }

    void roundTripWritesAllFourKeys()
    {
        StoredOptions written;
        written.outputFolder = QStringLiteral("/tmp/out put");
        written.upscaleValue = 2;
        written.processEngine = 1;
        written.gpuIndex = 3;
        {
            QSettings settings(storePath(), QSettings::IniFormat);
            writeStoredOptions(settings, written);
        }
        QSettings settings(storePath(), QSettings::IniFormat);
        QStringList keys = settings.allKeys();
        keys.sort();
        const QStringList expected{QStringLiteral("gpu_idx"), QStringLiteral("lastOpenFolder"),
                                   QStringLiteral("processEngine"), QStringLiteral("upscaleValue")};
        QCOMPARE(keys, expected);
        const StoredOptions read = readStoredOptions(settings);
        QCOMPARE(read.outputFolder, written.outputFolder);
        QCOMPARE(read.upscaleValue, 2);
        QCOMPARE(read.processEngine, 1);
        QCOMPARE(read.gpuIndex, 3);
    }

    void valueThatIsNotANumberReadsAsZero()
    {
        QSettings settings(dir.filePath(QStringLiteral("junk.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("upscaleValue"), QStringLiteral("big"));
        settings.setValue(QStringLiteral("gpu_idx"), QStringLiteral("first"));
        const StoredOptions options = readStoredOptions(settings);
        QCOMPARE(options.upscaleValue, 0);
        QCOMPARE(options.gpuIndex, 0);
    }

    void outputFolderFallsBackWhenNothingIsThere()
    {
        const QString fallback = QStringLiteral("/pictures");
        QCOMPARE(effectiveOutputFolder(QString(), fallback), fallback);
        QCOMPARE(effectiveOutputFolder(dir.filePath(QStringLiteral("vanished")), fallback), fallback);
        QCOMPARE(effectiveOutputFolder(dir.path(), fallback), dir.path());
    }

    void scaleLabel_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("x2") << 1 << QStringLiteral("Image Scale: 2x");
        QTest::newRow("x4") << 2 << QStringLiteral("Image Scale: 4x");
        QTest::newRow("stored out of range") << 5 << QStringLiteral("Image Scale: 10x");
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
