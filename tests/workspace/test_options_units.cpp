#include "workspace/storedOptions.h"

#include <QSet>
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
        QTest::newRow("stored out of range names the x4 network that runs")
            << 5 << QStringLiteral("Image Scale: 4x");
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

    // What the results become for what the store holds; junk reads as the defaults.
    void resultOptions_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<int>("quality");
        QTest::addColumn<int>("form");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("strength");
        using Form = engine::OutputSize::Form;
        const int scale = int(Form::NetworkScale);
        QTest::newRow("empty store") << QVariantMap{} << "png" << -1 << scale << 0 << 0 << 100;
        QTest::newRow("jpeg at 70") << QVariantMap{{"outputFormat", "jpg"}, {"outputQuality", 70}} << "jpg"
                                    << 70 << scale << 0 << 0 << 100;
        QTest::newRow("png ignores a stored quality")
            << QVariantMap{{"outputFormat", "png"}, {"outputQuality", 70}} << "png" << -1 << scale << 0 << 0
            << 100;
        QTest::newRow("webp, quality out of range")
            << QVariantMap{{"outputFormat", "WEBP"}, {"outputQuality", 0}} << "webp" << 90 << scale << 0 << 0
            << 100;
        QTest::newRow("unknown format")
            << QVariantMap{{"outputFormat", "bmp"}} << "png" << -1 << scale << 0 << 0 << 100;
        QTest::newRow("width") << QVariantMap{{"outputSizeForm", "width"}, {"outputSizeValue", 2000}} << "png"
                               << -1 << int(Form::Width) << 2000 << 0 << 100;
        QTest::newRow("height") << QVariantMap{{"outputSizeForm", "height"}, {"outputSizeValue", 1500}}
                                << "png" << -1 << int(Form::Height) << 0 << 1500 << 100;
        QTest::newRow("long side") << QVariantMap{{"outputSizeForm", "longSide"}, {"outputSizeValue", 3000}}
                                   << "png" << -1 << int(Form::LongSide) << 3000 << 0 << 100;
        QTest::newRow("a form without a size")
            << QVariantMap{{"outputSizeForm", "width"}} << "png" << -1 << scale << 0 << 0 << 100;
        QTest::newRow("size not a number")
            << QVariantMap{{"outputSizeForm", "height"}, {"outputSizeValue", "tall"}} << "png" << -1 << scale
            << 0 << 0 << 100;
        QTest::newRow("strength 0") << QVariantMap{{"detailStrength", 0}} << "png" << -1 << scale << 0 << 0
                                    << 0;
        QTest::newRow("strength not a number")
            << QVariantMap{{"detailStrength", "strong"}} << "png" << -1 << scale << 0 << 0 << 100;
        QTest::newRow("strength over 100")
            << QVariantMap{{"detailStrength", 150}} << "png" << -1 << scale << 0 << 0 << 100;
    }
    void resultOptions()
    {
        QFETCH(QVariantMap, stored);
        QSettings settings(dir.filePath(QStringLiteral("%1.ini").arg(QTest::currentDataTag())),
                           QSettings::IniFormat);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            settings.setValue(it.key(), it.value());
        const ResultOptions options = readResultOptions(settings);
        QTEST(options.outputFormat().suffix(), "suffix");
        QTEST(options.outputFormat().quality, "quality");
        const engine::Finishing finishing = options.finishing();
        QTEST(int(finishing.size.form), "form");
        QTEST(finishing.size.width, "width");
        QTEST(finishing.size.height, "height");
        QTEST(finishing.strength, "strength");

        // Written back, the same options read again.
        QSettings copy(dir.filePath(QStringLiteral("copy-%1.ini").arg(QTest::currentDataTag())),
                       QSettings::IniFormat);
        writeResultOptions(copy, options);
        const ResultOptions again = readResultOptions(copy);
        QCOMPARE(again.outputFormat().suffix(), options.outputFormat().suffix());
        QCOMPARE(again.outputFormat().quality, options.outputFormat().quality);
        QCOMPARE(int(again.finishing().size.form), int(finishing.size.form));
        QCOMPARE(again.finishing().strength, finishing.strength);
    }

    // The format list is the writer's: every kind it offers once, PNG first, each by a name it reads.
    void offeredFormats()
    {
        const QList<engine::OutputFormat> formats = engine::OutputFormat::offered();
        QVERIFY(!formats.isEmpty());
        QCOMPARE(formats.constFirst().suffix(), QStringLiteral("png"));
        QSet<QString> suffixes;
        for (const engine::OutputFormat &format : formats) {
            const auto named = engine::OutputFormat::named(format.suffix());
            QVERIFY(named);
            QCOMPARE(int(named->kind), int(format.kind));
            suffixes.insert(format.suffix());
        }
        QCOMPARE(suffixes.size(), formats.size());
    }
};

QTEST_GUILESS_MAIN(TestOptionsUnits)
#include "test_options_units.moc"
