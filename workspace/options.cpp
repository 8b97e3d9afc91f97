#include "workspace/PelmoraForm.h"

#include "base/settingsstore.h"
#include "ui_PelmoraForm.h"
#include "workspace/storedOptions.h"

#include <QDebug>
#include <QDir>
#include <QFileDialog>
#include <QSettings>
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
