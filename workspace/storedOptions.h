#pragma once

#include "workspace/engine/finishing.h"
#include "workspace/engine/imageOutput.h"

#include <QString>

class QSettings;

// The processing options as the settings store keeps them.
struct StoredOptions {
    QString outputFolder;  // "lastOpenFolder"; empty when absent
    int upscaleValue = 1;  // "upscaleValue": 1 means x2, 2 means x4
    int processEngine = 0; // "processEngine": 0 CPU, otherwise GPU
    int gpuIndex = 0;      // "gpu_idx"
};

// A stored value that is not a number reads as 0.
StoredOptions readStoredOptions(QSettings &settings);
// Writes all four keys, whichever option changed.
void writeStoredOptions(QSettings &settings, const StoredOptions &options);

// What the results are and which network makes them, beyond the four options above; each under a
// key of its own, written only when one of them changes.
struct ResultOptions {
    engine::OutputFormat::Kind format = engine::OutputFormat::Kind::Png; // "outputFormat": its suffix
    int quality = 90; // "outputQuality", 1 to 100: kept for the lossy kinds while PNG is chosen
    // "outputSizeForm" ("scale", "width", "height", "longSide") and "outputSizeValue" (pixels).
    engine::OutputSize::Form sizeForm = engine::OutputSize::Form::NetworkScale;
    int sizeValue = 0;
    int detailStrength = 100; // "detailStrength", 0 to 100
    QString otherNetwork;     // "otherNetwork": a .param of the family instead of the slots; empty: the slots

    engine::OutputFormat outputFormat() const;
    // The network's scale while the form is that or no size is given.
    engine::Finishing finishing() const;
};

// The largest side the window lets the user ask for.
constexpr int kLargestSide = 65535;

// Values out of range or of unknown names read as their defaults.
ResultOptions readResultOptions(QSettings &settings);
void writeResultOptions(QSettings &settings, const ResultOptions &options);

// The output folder to use for a stored one: the stored path while something exists there,
// otherwise the fallback (the Pictures location).
QString effectiveOutputFolder(const QString &stored, const QString &fallback);

// "Image Scale: 2x" for upscaleValue 1, "Image Scale: 4x" for any other (the slot that loads).
QString scaleLabelText(int upscaleValue);

// A device index that names an entry of a list of `count` devices: the stored one, or 0.
int validGpuIndex(int stored, int count);

// The GPU list's entry for a Vulkan device of ncnn's type (3: the CPU). A software renderer such as
// llvmpipe is named as one: users took it for a graphics card and found it slower than the CPU path.
QString gpuListEntry(const QString &deviceName, int deviceType);

// Key of the folder of the first file of the last add dialog.
QString lastOpenIcoPathKey();
