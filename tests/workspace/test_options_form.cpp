#include "formTestSupport.h"
#include "workspace/PelmoraForm.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <ncnn/gpu.h>

namespace {
struct OptionsTag {};
} // namespace

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
