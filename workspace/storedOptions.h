#pragma once

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
