#include "workspace/storedOptions.h"

#include "workspace/models/modelFiles.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>

namespace {

int readInt(QSettings &settings, const QString &key, int fallback)
{
    const QVariant value = settings.value(key, fallback);
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? number : 0;
}

} // namespace

QString settingsOrganization()
{
    return QStringLiteral("Corvane");
}

QString settingsApplication()
{
    return QStringLiteral("Pelmora");
}

QString lastOpenIcoPathKey()
{
    return QStringLiteral("lastOpenIcoPath");
}

StoredOptions readStoredOptions(QSettings &settings)
{
    StoredOptions options;
    options.outputFolder = settings.value(QStringLiteral("lastOpenFolder")).toString();
    options.upscaleValue = readInt(settings, QStringLiteral("upscaleValue"), 1);
    options.processEngine = readInt(settings, QStringLiteral("processEngine"), 0);
    options.gpuIndex = readInt(settings, QStringLiteral("gpu_idx"), 0);
    return options;
}

void writeStoredOptions(QSettings &settings, const StoredOptions &options)
{
    settings.setValue(QStringLiteral("lastOpenFolder"), options.outputFolder);
    settings.setValue(QStringLiteral("upscaleValue"), options.upscaleValue);
    settings.setValue(QStringLiteral("processEngine"), options.processEngine);
    settings.setValue(QStringLiteral("gpu_idx"), options.gpuIndex);
}

QString effectiveOutputFolder(const QString &stored, const QString &fallback)
{
    return !stored.isEmpty() && QFileInfo::exists(stored) ? stored : fallback;
}

QString scaleLabelText(int upscaleValue)
{
    // The scale of the slot that runs: a stored value out of range must not promise a network that
    // does not exist.
    return QStringLiteral("Image Scale: ") + QString::number(slotScale(upscaleValue)) + QLatin1Char('x');
}

int validGpuIndex(int stored, int count)
{
    return stored < 0 || stored >= count ? 0 : stored;
}

QString gpuListEntry(const QString &deviceName, int deviceType)
{
    constexpr int cpuDevice = 3;
    if (deviceType != cpuDevice)
        return deviceName;
    return deviceName + QCoreApplication::translate("PelmoraForm", " (software renderer)");
}
