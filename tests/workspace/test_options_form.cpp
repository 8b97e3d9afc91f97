#include "engine/testModels.h"
#include "formTestSupport.h"
#include "workspace/PelmoraForm.h"
#include "workspace/engine/batchJob.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <ncnn/gpu.h>

namespace {
struct OptionsTag {};
} // namespace

Q_DECLARE_METATYPE(engine::OutputSize::Form)

template <> struct PelmoraFormProbe<OptionsTag> {
    PelmoraForm &form;

    int upscaleValue() const { return form.upscaleValue; }
    int processEngine() const { return form.processEngine; }
    int gpuIndex() const { return form.gpuIndex; }
    QString outputFolder() const { return form.outputFolder; }
    bool uiReady() const { return form.uiReady; }
    void clickCpu() { form.on_processCpuRadioButton_clicked(true); }
    void clickGpu() { form.on_processGpuRadioButton_clicked(true); }
    void setUiReady(bool ready) { form.uiReady = ready; }
    // The job a click on Upscale would start now.
    std::unique_ptr<engine::BatchJob> batchJob()
    {
        return std::unique_ptr<engine::BatchJob>(form.makeBatchJob());
    }
    engine::Upscaler::Config upscalerConfig() const { return form.upscalerConfig(); }
    QString useOtherNetwork(const QString &param) { return form.useOtherNetwork(param); }
};
using Probe = PelmoraFormProbe<OptionsTag>;

class TestOptionsForm : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;

    static QSettings store() { return QSettings(QStringLiteral("Corvane"), QStringLiteral("Pelmora")); }
    static void wipeStore()
    {
        QSettings settings(QStringLiteral("Corvane"), QStringLiteral("Pelmora"));
        settings.clear();
    }
    template <typename T> static T *child(PelmoraForm &form, const char *name)
    {
        return form.findChild<T *>(QString::fromLatin1(name));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        isolateSettings(dir.filePath(QStringLiteral("settings")));
    }
    void init() { wipeStore(); }

    void firstStart()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
        QCOMPARE(probe.outputFolder(), pictures);
        QCOMPARE(child<QLineEdit>(form, "outputFolderLineEdit")->text(), QDir::toNativeSeparators(pictures));
        QCOMPARE(child<QSlider>(form, "scaleSlider")->value(), 1);
        QCOMPARE(child<QLabel>(form, "scaleLabel")->text(), QStringLiteral("Image Scale: 2x"));
        QVERIFY(child<QRadioButton>(form, "processCpuRadioButton")->isChecked());
        QVERIFY(probe.uiReady());
        // The results: PNG at the network's scale with all its detail, from the slot of the scale.
        QCOMPARE(child<QComboBox>(form, "outputFormatComboBox")->currentText(), QStringLiteral("PNG"));
        QVERIFY(!child<QSpinBox>(form, "outputQualitySpinBox")->isEnabled());
        QCOMPARE(child<QComboBox>(form, "outputSizeComboBox")->currentIndex(), 0);
        QVERIFY(!child<QSpinBox>(form, "outputSizeSpinBox")->isEnabled());
        QCOMPARE(child<QLabel>(form, "detailStrengthLabel")->text(), QStringLiteral("Detail Strength: 100%"));
        QCOMPARE(child<QComboBox>(form, "networkComboBox")->currentIndex(), 0);
        const std::unique_ptr<engine::BatchJob> job = probe.batchJob();
        QCOMPARE(job->resultFormat().suffix(), QStringLiteral("png"));
        QVERIFY(job->resultFinishing().isDefault());
        QVERIFY(probe.upscalerConfig().modelParam.isEmpty());
        QCOMPARE(probe.upscalerConfig().scale, 2);
        // Loading writes nothing back.
        QVERIFY(store().allKeys().isEmpty());
    }

    void sliderSavesAllFourKeys()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        child<QSlider>(form, "scaleSlider")->setValue(2);
        QCOMPARE(child<QLabel>(form, "scaleLabel")->text(), QStringLiteral("Image Scale: 4x"));
        QCOMPARE(probe.upscaleValue(), 2);
        QSettings settings = store();
        QCOMPARE(settings.value(QStringLiteral("upscaleValue")).toInt(), 2);
        QCOMPARE(settings.value(QStringLiteral("processEngine")).toInt(), 0);
        QCOMPARE(settings.value(QStringLiteral("gpu_idx")).toInt(), 0);
        QCOMPARE(settings.value(QStringLiteral("lastOpenFolder")).toString(), probe.outputFolder());
    }

    void sliderIgnoredWhileNotReady()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.setUiReady(false);
        child<QSlider>(form, "scaleSlider")->setValue(2);
        QCOMPARE(probe.upscaleValue(), 1);
        QCOMPARE(child<QLabel>(form, "scaleLabel")->text(), QStringLiteral("Image Scale: 2x"));
        QVERIFY(store().allKeys().isEmpty());
    }

    void storedOptionsRoundTrip()
    {
        const QString out = dir.filePath(QStringLiteral("out"));
        QVERIFY(QDir().mkpath(out));
        {
            QSettings settings = store();
            settings.setValue(QStringLiteral("lastOpenFolder"), out);
            settings.setValue(QStringLiteral("upscaleValue"), 2);
            settings.setValue(QStringLiteral("processEngine"), 1);
            settings.setValue(QStringLiteral("gpu_idx"), 3);
        }
        PelmoraForm form(nullptr);
        Probe probe{form};
        QCOMPARE(probe.outputFolder(), out);
        QCOMPARE(child<QSlider>(form, "scaleSlider")->value(), 2);
        QCOMPARE(child<QLabel>(form, "scaleLabel")->text(), QStringLiteral("Image Scale: 4x"));
        QCOMPARE(probe.processEngine(), 1);
        QVERIFY(child<QRadioButton>(form, "processGpuRadioButton")->isChecked());
        QCOMPARE(child<QRadioButton>(form, "processGpuRadioButton")->isEnabled(), ncnn::get_gpu_count() > 0);
        // Index 3 names no device here: device 0, stored only at the next save.
        QVERIFY(ncnn::get_gpu_count() < 4);
        QCOMPARE(probe.gpuIndex(), 0);
        QCOMPARE(store().value(QStringLiteral("gpu_idx")).toInt(), 3);
        probe.clickCpu();
        QCOMPARE(store().value(QStringLiteral("gpu_idx")).toInt(), 0);
        QCOMPARE(store().value(QStringLiteral("processEngine")).toInt(), 0);
        QCOMPARE(store().value(QStringLiteral("lastOpenFolder")).toString(), out);
    }

    void vanishedOutputFolderFallsBack()
    {
        store().setValue(QStringLiteral("lastOpenFolder"), dir.filePath(QStringLiteral("gone")));
        PelmoraForm form(nullptr);
        QCOMPARE(Probe{form}.outputFolder(),
                 QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
        QCOMPARE(store().value(QStringLiteral("lastOpenFolder")).toString(),
                 dir.filePath(QStringLiteral("gone")));
    }

    void radioClickSavesEvenWhenAlreadyChecked()
    {
        PelmoraForm form(nullptr);
        Probe probe{form};
        probe.clickCpu();
        QCOMPARE(store().value(QStringLiteral("processEngine")).toInt(), 0);
        QCOMPARE(store().allKeys().size(), 4);
        probe.clickGpu();
        QCOMPARE(store().value(QStringLiteral("processEngine")).toInt(), 1);
    }

    // Each option of the results, set on its control, reaches the job, is stored under its own key
    // beside the four others, and is shown again and used after a restart.
    void resultOptionReachesBatch_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("quality");   // 0: left alone
        QTest::addColumn<int>("sizeIndex"); // of outputSizeComboBox
        QTest::addColumn<int>("sizeValue"); // 0: left alone
        QTest::addColumn<int>("strength");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("jobQuality");
        QTest::addColumn<int>("jobWidth");
        QTest::addColumn<int>("jobHeight");
        using Form = engine::OutputSize::Form;
        QTest::addColumn<Form>("jobForm");
        QTest::newRow("jpeg") << "jpg" << 0 << 0 << 0 << 100 << "outputFormat" << QVariant("jpg") << 90 << 0
                              << 0 << Form::NetworkScale;
        QTest::newRow("jpeg at 70") << "jpg" << 70 << 0 << 0 << 100 << "outputQuality" << QVariant(70) << 70
                                    << 0 << 0 << Form::NetworkScale;
        QTest::newRow("webp at 55") << "webp" << 55 << 0 << 0 << 100 << "outputFormat" << QVariant("webp")
                                    << 55 << 0 << 0 << Form::NetworkScale;
        QTest::newRow("width") << "png" << 0 << 1 << 2000 << 100 << "outputSizeForm" << QVariant("width")
                               << -1 << 2000 << 0 << Form::Width;
        QTest::newRow("height") << "png" << 0 << 2 << 1500 << 100 << "outputSizeValue" << QVariant(1500) << -1
                                << 0 << 1500 << Form::Height;
        QTest::newRow("long side") << "png" << 0 << 3 << 3000 << 100 << "outputSizeForm"
                                   << QVariant("longSide") << -1 << 3000 << 0 << Form::LongSide;
        QTest::newRow("strength 40") << "png" << 0 << 0 << 0 << 40 << "detailStrength" << QVariant(40) << -1
                                     << 0 << 0 << Form::NetworkScale;
    }
    void resultOptionReachesBatch()
    {
        QFETCH(QString, format);
        QFETCH(int, quality);
        QFETCH(int, sizeIndex);
        QFETCH(int, sizeValue);
        QFETCH(int, strength);
        QFETCH(QString, key);
        QFETCH(QVariant, stored);
        QFETCH(int, jobQuality);
        QFETCH(int, jobWidth);
        QFETCH(int, jobHeight);
        QFETCH(engine::OutputSize::Form, jobForm);
        const auto checkJob = [&](Probe &probe) {
            const std::unique_ptr<engine::BatchJob> job = probe.batchJob();
            QCOMPARE(job->resultFormat().suffix(), format);
            QCOMPARE(job->resultFormat().quality, jobQuality);
            QCOMPARE(job->resultFinishing().size.form, jobForm);
            QCOMPARE(job->resultFinishing().size.width, jobWidth);
            QCOMPARE(job->resultFinishing().size.height, jobHeight);
            QCOMPARE(job->resultFinishing().strength, strength);
        };
        {
            PelmoraForm form(nullptr);
            Probe probe{form};
            auto *formats = child<QComboBox>(form, "outputFormatComboBox");
            formats->setCurrentIndex(formats->findData(format));
            QCOMPARE(child<QSpinBox>(form, "outputQualitySpinBox")->isEnabled(),
                     format != QLatin1String("png"));
            if (quality)
                child<QSpinBox>(form, "outputQualitySpinBox")->setValue(quality);
            child<QComboBox>(form, "outputSizeComboBox")->setCurrentIndex(sizeIndex);
            QCOMPARE(child<QSpinBox>(form, "outputSizeSpinBox")->isEnabled(), sizeIndex != 0);
            if (sizeValue)
                child<QSpinBox>(form, "outputSizeSpinBox")->setValue(sizeValue);
            child<QSlider>(form, "detailStrengthSlider")->setValue(strength);
            QCOMPARE(child<QLabel>(form, "detailStrengthLabel")->text(),
                     QStringLiteral("Detail Strength: %1%").arg(strength));
            checkJob(probe);
        }
        QCOMPARE(store().value(key).toString(), stored.toString());
        // The four keys keep their meaning: none of them was written for these options.
        QVERIFY(!store().contains(QStringLiteral("upscaleValue")));

        PelmoraForm restarted(nullptr);
        Probe probe{restarted};
        QCOMPARE(child<QComboBox>(restarted, "outputFormatComboBox")->currentData().toString(), format);
        QCOMPARE(child<QComboBox>(restarted, "outputSizeComboBox")->currentIndex(), sizeIndex);
        QCOMPARE(child<QSlider>(restarted, "detailStrengthSlider")->value(), strength);
        checkJob(probe);
    }

    // Another network of the family is checked as the command line checks --model, loads at its own
    // scale instead of the slot's, and stays chosen after a restart while its files are there.
    void otherNetwork_data()
    {
        QTest::addColumn<QString>(
            "content"); // "srvgg" or "rrdb": a generated network; else the .param's text
        QTest::addColumn<bool>("withWeights");
        QTest::addColumn<QString>("problem"); // the start of the refusal; empty when accepted
        QTest::newRow("compact x3") << "srvgg" << true << "";
        QTest::newRow("rrdb x4") << "rrdb" << true << "";
        QTest::newRow("not a network") << "hello" << true << "net.param: ";
        QTest::newRow("weights missing") << "srvgg" << false << "";
    }
    void otherNetwork()
    {
        QFETCH(QString, content);
        QFETCH(bool, withWeights);
        QFETCH(QString, problem);
        QTemporaryDir models;
        const QString base = models.filePath(QStringLiteral("net"));
        const QString param = base + QStringLiteral(".param");
        if (content == QLatin1String("srvgg") || content == QLatin1String("rrdb"))
            QVERIFY(writeFamilyModel(base, content, content == QLatin1String("srvgg") ? 3 : 4));
        else
            writeTestBytes(param, content.toUtf8());
        if (!withWeights) {
            QVERIFY(QFile::remove(base + QStringLiteral(".bin")));
            problem = QDir::toNativeSeparators(base + QStringLiteral(".bin"));
        }
        {
            PelmoraForm form(nullptr);
            Probe probe{form};
            const QString refusal = probe.useOtherNetwork(param);
            if (!problem.isEmpty()) {
                QVERIFY2(refusal.startsWith(problem), qPrintable(refusal));
                QVERIFY(probe.upscalerConfig().modelParam.isEmpty());
                QVERIFY(!store().contains(QStringLiteral("otherNetwork")));
                return;
            }
            QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
            QCOMPARE(probe.upscalerConfig().modelParam, param);
            QCOMPARE(probe.upscalerConfig().scale, 0);
            QVERIFY(!child<QSlider>(form, "scaleSlider")->isEnabled());
        }
        QCOMPARE(store().value(QStringLiteral("otherNetwork")).toString(), param);
        {
            PelmoraForm restarted(nullptr);
            Probe probe{restarted};
            auto *list = child<QComboBox>(restarted, "networkComboBox");
            QCOMPARE(list->currentData().toString(), param);
            QCOMPARE(probe.upscalerConfig().modelParam, param);
            // Back to the slots: the slider's scale again.
            emit list->activated(0);
            QVERIFY(probe.upscalerConfig().modelParam.isEmpty());
            QVERIFY(child<QSlider>(restarted, "scaleSlider")->isEnabled());
            QCOMPARE(store().value(QStringLiteral("otherNetwork")).toString(), QString());
            QVERIFY(probe.useOtherNetwork(param).isEmpty());
        }
        // A network that went away since is not used; the slots are, and the store keeps its name.
        QVERIFY(QFile::remove(param));
        PelmoraForm restarted(nullptr);
        QVERIFY(Probe{restarted}.upscalerConfig().modelParam.isEmpty());
        QCOMPARE(child<QComboBox>(restarted, "networkComboBox")->currentIndex(), 0);
        QCOMPARE(store().value(QStringLiteral("otherNetwork")).toString(), param);
    }

    // Whatever the machine has: every device ncnn reports, by name, and the matching note.
    void gpuList()
    {
        PelmoraForm form(nullptr);
        auto *list = child<QComboBox>(form, "processGpuComboBox");
        const int devices = ncnn::get_gpu_count();
        QCOMPARE(list->count(), devices);
        for (int i = 0; i < devices; ++i) {
            const QString name = QString::fromUtf8(ncnn::get_gpu_info(i).device_name());
            const bool software = ncnn::get_gpu_info(i).type() == 3;
            QCOMPARE(list->itemText(i), software ? name + QStringLiteral(" (software renderer)") : name);
            QCOMPARE(list->itemData(i).toInt(), i);
        }
        auto *info = child<QLabel>(form, "processInfoLabel");
        auto *gpu = child<QRadioButton>(form, "processGpuRadioButton");
        if (devices == 0) {
            QCOMPARE(info->text(), QStringLiteral("GPU (Not Supported on this System)."));
            QVERIFY(!gpu->isEnabled());
            QVERIFY(!list->isEnabled());
        } else {
            QCOMPARE(info->text(),
                     QStringLiteral("Note: Large images on GPU may require more Video RAM. If the "
                                    "app crashes, switch to CPU."));
            QVERIFY(gpu->isEnabled());
            QCOMPARE(list->currentIndex(), 0);
        }
    }
};

QTEST_MAIN(TestOptionsForm)
#include "test_options_form.moc"
