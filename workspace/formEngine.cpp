#include "workspace/PelmoraForm.h"

#include "base/AppInfo.h"
#include "workspace/engine/upscaler.h"
#include "workspace/models/modelFiles.h"

#include <QDebug>
#include <QImage>

#include <ncnn/gpu.h>

// The engine's operations are the upscaler's; the form only says which network, device and scale.

engine::Device PelmoraForm::chosenDevice() const
{
    return processEngine == 0 ? engine::Device::cpu() : engine::Device::gpu(gpuIndex);
}

bool PelmoraForm::setupNetwork(QString *error)
{
    // Its network must not outlive the GPU instance that is rebuilt below.
    upscaler.reset();
    if (processEngine != 0)
        bindVulkanDevice();
    upscaler = engine::Upscaler::load(upscalerConfig(), error);
    return upscaler != nullptr;
}

engine::Upscaler::Config PelmoraForm::upscalerConfig() const
{
    engine::Upscaler::Config config;
    config.device = chosenDevice();
    if (resultOptions.otherNetwork.isEmpty()) {
        config.modelFolder = AppInfo::installFolder();
        config.scale = scaleFactor();
    } else {
        // At its own scale, as the command line's --model is; the loader refuses what is not of the family.
        config.modelParam = resultOptions.otherNetwork;
        config.scale = 0;
    }
    return config;
}

void PelmoraForm::bindVulkanDevice()
{
    if (gpuIndex >= ncnn::get_gpu_count() || gpuIndex < 0)
        gpuIndex = 0;
    ncnn::destroy_gpu_instance();
    ncnn::create_gpu_instance();
}

int PelmoraForm::scaleFactor() const
{
    // Follows the model pair that setupNetwork loads, whatever the stored value says.
    return slotScale(upscaleValue);
}

QImage PelmoraForm::runNetwork(const QImage &image)
{
    return upscaler ? upscaler->runNetwork(image).image : QImage();
}

void PelmoraForm::computeTileSize()
{
    // The loaded upscaler's policy, on the device it was bound to, is the one every picture of a
    // batch follows; without a network there is nothing to tile.
    currentTileSize = upscaler ? upscaler->tileSize() : 0;
}

QImage PelmoraForm::upscaleImageTiling(const QImage &image)
{
    return upscaler ? upscaler->upscaleColour(engine::Picture::asStored(image), currentTileSize).image
                    : QImage();
}

QImage PelmoraForm::upscaleImage(const QImage &image)
{
    return upscaler ? upscaler->upscale(image).image : QImage();
}

QImage PelmoraForm::upscaleImageWithAlpha(const QImage &image)
{
    return upscaler ? upscaler->upscaleWithAlpha(engine::Picture::asStored(image), currentTileSize).image
                    : QImage();
}
