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

// A number of the newer keys: the default when absent, not a number or out of range.
int readInRange(QSettings &settings, const QString &key, int lowest, int highest, int fallback)
{
    bool ok = false;
    const int number = settings.value(key).toInt(&ok);
    return ok && number >= lowest && number <= highest ? number : fallback;
}

// The size forms the window offers, by their stored names.
struct SizeFormName {
    engine::OutputSize::Form form;
    const char *name;
};
constexpr SizeFormName sizeFormNames[] = {
    {engine::OutputSize::Form::NetworkScale, "scale"},
    {engine::OutputSize::Form::Width, "width"},
    {engine::OutputSize::Form::Height, "height"},
    {engine::OutputSize::Form::LongSide, "longSide"},
};

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

engine::OutputFormat ResultOptions::outputFormat() const
{
    engine::OutputFormat result;
    result.kind = format;
    result.quality = result.takesQuality() ? quality : -1;
    return result;
}

engine::Finishing ResultOptions::finishing() const
{
    engine::Finishing result;
    result.strength = detailStrength;
    if (sizeValue <= 0)
        return result;
    result.size.form = sizeForm;
    if (sizeForm == engine::OutputSize::Form::Height)
        result.size.height = sizeValue;
    else
        result.size.width = sizeValue;
    return result;
}

ResultOptions readResultOptions(QSettings &settings)
{
    ResultOptions options;
    const QString format = settings.value(QStringLiteral("outputFormat")).toString();
    if (const auto named = engine::OutputFormat::named(format))
        options.format = named->kind;
    options.quality = readInRange(settings, QStringLiteral("outputQuality"), 1, 100, options.quality);
    const QString form = settings.value(QStringLiteral("outputSizeForm")).toString();
    for (const SizeFormName &entry : sizeFormNames) {
        if (form == QLatin1String(entry.name))
            options.sizeForm = entry.form;
    }
    options.sizeValue = readInRange(settings, QStringLiteral("outputSizeValue"), 1, kLargestSide, 0);
    if (options.sizeValue == 0)
        options.sizeForm = engine::OutputSize::Form::NetworkScale;
    options.detailStrength =
        readInRange(settings, QStringLiteral("detailStrength"), 0, 100, options.detailStrength);
    options.otherNetwork = settings.value(QStringLiteral("otherNetwork")).toString();
    return options;
}

void writeResultOptions(QSettings &settings, const ResultOptions &options)
{
    settings.setValue(QStringLiteral("outputFormat"), options.outputFormat().suffix());
    settings.setValue(QStringLiteral("outputQuality"), options.quality);
    for (const SizeFormName &entry : sizeFormNames) {
        if (entry.form == options.sizeForm)
            settings.setValue(QStringLiteral("outputSizeForm"), QString::fromLatin1(entry.name));
    }
    settings.setValue(QStringLiteral("outputSizeValue"), options.sizeValue);
    settings.setValue(QStringLiteral("detailStrength"), options.detailStrength);
    settings.setValue(QStringLiteral("otherNetwork"), options.otherNetwork);
}
