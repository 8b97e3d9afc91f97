#include "workspace/PelmoraForm.h"

#include "base/AppInfo.h"
#include "base/settingsstore.h"
#include "ui_PelmoraForm.h"
#include "workspace/models/modelDescription.h"
#include "workspace/storedOptions.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>

#include <ncnn/gpu.h>

void PelmoraForm::loadSettings()
{
    uiReady = false;
    {
        QSettings settings(QString::fromLatin1(SettingsStore::organization),
                           QString::fromLatin1(SettingsStore::application));
        const StoredOptions stored = readStoredOptions(settings);
        upscaleValue = stored.upscaleValue;
        processEngine = stored.processEngine;
        gpuIndex = stored.gpuIndex;
        outputFolder = effectiveOutputFolder(
            stored.outputFolder, QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
        resultOptions = readResultOptions(settings);
    }
    ui->outputFolderLineEdit->setText(QDir::toNativeSeparators(outputFolder));
    ui->scaleSlider->setValue(upscaleValue);
    ui->scaleLabel->setText(scaleLabelText(upscaleValue));
    if (processEngine != 0)
        ui->processGpuRadioButton->setChecked(true);
    else
        ui->processCpuRadioButton->setChecked(true);
    fillGpuList();
    logDefaultGpu();
    showResultOptions();
}

void PelmoraForm::saveSettings()
{
    QSettings settings(QString::fromLatin1(SettingsStore::organization),
                       QString::fromLatin1(SettingsStore::application));
    StoredOptions options;
    options.outputFolder = outputFolder;
    options.upscaleValue = upscaleValue;
    options.processEngine = processEngine;
    options.gpuIndex = gpuIndex;
    writeStoredOptions(settings, options);
    qDebug() << "gpu_idx; " << gpuIndex;
}

void PelmoraForm::fillGpuList()
{
    const int count = ncnn::get_gpu_count();
    for (int i = 0; i < count; ++i)
        ui->processGpuComboBox->addItem(gpuListEntry(QString::fromUtf8(ncnn::get_gpu_info(i).device_name()),
                                                     ncnn::get_gpu_info(i).type()),
                                        i);
    gpuIndex = validGpuIndex(gpuIndex, ui->processGpuComboBox->count());
    ui->processGpuComboBox->setCurrentIndex(gpuIndex);
    if (count > 0) {
        ui->processInfoLabel->setText(QStringLiteral(
            "Note: Large images on GPU may require more Video RAM. If the app crashes, switch to CPU."));
    } else {
        ui->processGpuRadioButton->setEnabled(false);
        ui->processGpuComboBox->setEnabled(false);
        ui->processInfoLabel->setText(QStringLiteral("GPU (Not Supported on this System)."));
    }
}

void PelmoraForm::logDefaultGpu()
{
    constexpr int integratedGpu = 1;
    const int count = ncnn::get_gpu_count();
    const int index = ncnn::get_default_gpu_index();
    const ncnn::VulkanDevice *device = count >= 1 && index >= 0 ? ncnn::get_gpu_device(index) : nullptr;
    if (!device) {
        qDebug() << "Vulkan not active or no GPU found. Using CPU default.";
        return;
    }
    if (device->info.type() != integratedGpu) {
        qDebug() << "GPU Detected:" << QString::fromUtf8(device->info.device_name());
        qDebug() << "VRAM Budget (MB):" << device->get_heap_budget();
    }
}

void PelmoraForm::on_outputFolderButton_clicked()
{
    const QString folder =
        QFileDialog::getExistingDirectory(this, QStringLiteral("Select Folder"), outputFolder,
                                          QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    if (folder.isEmpty())
        return;
    outputFolder = folder;
    ui->outputFolderLineEdit->setText(QDir::toNativeSeparators(outputFolder));
    saveSettings();
    qDebug() << "Selected folder:" << folder;
}

void PelmoraForm::on_scaleSlider_valueChanged(int value)
{
    if (!uiReady)
        return;
    upscaleValue = value;
    ui->scaleLabel->setText(scaleLabelText(value));
    saveSettings();
}

void PelmoraForm::on_processCpuRadioButton_clicked(bool)
{
    processEngine = 0;
    saveSettings();
}

void PelmoraForm::on_processGpuRadioButton_clicked(bool)
{
    processEngine = 1;
    saveSettings();
}

void PelmoraForm::on_processGpuComboBox_currentIndexChanged(int)
{
    if (!uiReady)
        return;
    gpuIndex = ui->processGpuComboBox->currentIndex();
    saveSettings();
}

// The options of the results and the network: filled from resultOptions once the four above are
// loaded, and connected only afterwards, so that loading saves nothing.
void PelmoraForm::showResultOptions()
{
    for (const engine::OutputFormat &format : engine::OutputFormat::offered())
        ui->outputFormatComboBox->addItem(format.suffix().toUpper(), format.suffix());
    ui->outputFormatComboBox->setCurrentIndex(
        ui->outputFormatComboBox->findData(resultOptions.outputFormat().suffix()));
    ui->outputQualitySpinBox->setValue(resultOptions.quality);

    const std::pair<engine::OutputSize::Form, QString> sizeForms[] = {
        {engine::OutputSize::Form::NetworkScale, tr("Network scale")},
        {engine::OutputSize::Form::Width, tr("Width")},
        {engine::OutputSize::Form::Height, tr("Height")},
        {engine::OutputSize::Form::LongSide, tr("Long side")},
    };
    for (const auto &[form, text] : sizeForms)
        ui->outputSizeComboBox->addItem(text, static_cast<int>(form));
    ui->outputSizeComboBox->setCurrentIndex(
        ui->outputSizeComboBox->findData(static_cast<int>(resultOptions.sizeForm)));
    if (resultOptions.sizeValue > 0)
        ui->outputSizeSpinBox->setValue(resultOptions.sizeValue);

    ui->detailStrengthSlider->setValue(resultOptions.detailStrength);
    ui->detailStrengthLabel->setText(tr("Detail Strength: %1%").arg(resultOptions.detailStrength));

    // A network that went away since (or never was one of the family) leaves the slots in use; the
    // store keeps its name until the user chooses again.
    if (!resultOptions.otherNetwork.isEmpty() && !otherNetworkProblem(resultOptions.otherNetwork).isEmpty())
        resultOptions.otherNetwork.clear();
    showNetworkList();
    enableResultOptions();
}

void PelmoraForm::connectResultOptions()
{
    connect(ui->outputFormatComboBox, &QComboBox::currentIndexChanged, this, [this] {
        const auto format = engine::OutputFormat::named(ui->outputFormatComboBox->currentData().toString());
        resultOptions.format = format ? format->kind : engine::OutputFormat::Kind::Png;
        enableResultOptions();
        saveResultOptions();
    });
    connect(ui->outputQualitySpinBox, &QSpinBox::valueChanged, this, [this](int value) {
        resultOptions.quality = value;
        saveResultOptions();
    });
    connect(ui->outputSizeComboBox, &QComboBox::currentIndexChanged, this, [this] {
        resultOptions.sizeForm =
            static_cast<engine::OutputSize::Form>(ui->outputSizeComboBox->currentData().toInt());
        resultOptions.sizeValue = ui->outputSizeSpinBox->value();
        enableResultOptions();
        saveResultOptions();
    });
    connect(ui->outputSizeSpinBox, &QSpinBox::valueChanged, this, [this](int value) {
        resultOptions.sizeValue = value;
        saveResultOptions();
    });
    connect(ui->detailStrengthSlider, &QSlider::valueChanged, this, [this](int value) {
        resultOptions.detailStrength = value;
        ui->detailStrengthLabel->setText(tr("Detail Strength: %1%").arg(value));
        saveResultOptions();
    });
    connect(ui->networkComboBox, &QComboBox::activated, this, [this](int index) {
        if (index < ui->networkComboBox->count() - 1) {
            resultOptions.otherNetwork = ui->networkComboBox->itemData(index).toString();
            enableResultOptions();
            saveResultOptions();
            return;
        }
        const QString start = resultOptions.otherNetwork.isEmpty()
                                  ? AppInfo::installFolder()
                                  : QFileInfo(resultOptions.otherNetwork).path();
        const QString param = QFileDialog::getOpenFileName(this, tr("Other Network"), start,
                                                           tr("Network descriptions (*.param)"));
        if (!param.isEmpty()) {
            if (const QString problem = useOtherNetwork(param); !problem.isEmpty())
                QMessageBox::warning(this, tr("Other Network"),
                                     tr("This network cannot be used:") + QLatin1Char('\n') + problem);
        }
        // Back on the network in use when the dialog was cancelled or the file refused.
        showNetworkList();
    });
}

void PelmoraForm::saveResultOptions()
{
    QSettings settings(QString::fromLatin1(SettingsStore::organization),
                       QString::fromLatin1(SettingsStore::application));
    writeResultOptions(settings, resultOptions);
}

void PelmoraForm::enableResultOptions()
{
    const bool quality = resultOptions.outputFormat().takesQuality();
    ui->outputQualityLabel->setEnabled(quality);
    ui->outputQualitySpinBox->setEnabled(quality);
    ui->outputSizeSpinBox->setEnabled(resultOptions.sizeForm != engine::OutputSize::Form::NetworkScale);
    // Another network enlarges by its own scale; the slider chooses between the two slots only.
    ui->scaleSlider->setEnabled(resultOptions.otherNetwork.isEmpty());
}

// The slots first, then the other network in use (if any), then the entry that chooses one.
void PelmoraForm::showNetworkList()
{
    QComboBox *list = ui->networkComboBox;
    list->clear();
    list->addItem(tr("Real-ESRGAN x2plus / x4plus (Image Scale)"), QString());
    if (!resultOptions.otherNetwork.isEmpty()) {
        list->addItem(QFileInfo(resultOptions.otherNetwork).completeBaseName(), resultOptions.otherNetwork);
        list->setItemData(1, QDir::toNativeSeparators(resultOptions.otherNetwork), Qt::ToolTipRole);
    }
    list->addItem(tr("Other network…"));
    list->setCurrentIndex(resultOptions.otherNetwork.isEmpty() ? 0 : 1);
}

QString PelmoraForm::useOtherNetwork(const QString &param)
{
    if (const QString problem = otherNetworkProblem(param); !problem.isEmpty())
        return problem;
    resultOptions.otherNetwork = param;
    showNetworkList();
    enableResultOptions();
    saveResultOptions();
    return QString();
}

// The checks of the command line's --model before anything is loaded: a description of the family
// and its weights beside it. The length of the weights is checked when the batch loads them.
QString PelmoraForm::otherNetworkProblem(const QString &param)
{
    const ModelDescription model = describeModel(param);
    if (!model.isValid())
        return model.error;
    if (!QFileInfo(model.binPath).isFile())
        return tr("%1 is missing").arg(QDir::toNativeSeparators(model.binPath));
    return QString();
}
