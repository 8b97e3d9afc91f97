#include "workspace/PelmoraForm.h"

#include "ui_PelmoraForm.h"

#include "app/AppInfo.h"
#include "app/platform/platform.h"
#include "workspace/engine/networkInference.h"
#include "workspace/engine/tileSize.h"
#include "workspace/engine/tiledPass.h"
#include "workspace/engine/transparency.h"

#include <QColorSpace>
#include <QDebug>
#include <QImage>
#include <QLabel>
#include <QProgressBar>

#include <ncnn/gpu.h>

namespace {

struct ModelPair {
    const char *param;
    const char *bin;
};

ModelPair modelPairFor(int upscaleValue)
{
    if (upscaleValue == 1)
        return {"realesrgan-x2plus.param", "realesrgan-x2plus.bin"};
    return {"realesrgan-x4plus.param", "realesrgan-x4plus.bin"};
}

} // namespace

bool PelmoraForm::setupNetwork()
{
    net.opt.use_vulkan_compute = processEngine != 0;
    net.opt.use_fp16_packed = false;
    net.opt.use_fp16_storage = false;
    net.opt.use_fp16_arithmetic = false;
    net.opt.num_threads = 4;
    net.opt.use_packing_layout = true;

    if (processEngine != 0)
        bindVulkanDevice();
    else
        net.clear(); // loading over a previous pair must not leave the old layers behind

    const ModelPair pair = modelPairFor(upscaleValue);
    const QString folder = AppInfo::installFolder();
    const QString paramPath = folder + QLatin1Char('/') + QLatin1String(pair.param);
    const QString binPath = folder + QLatin1Char('/') + QLatin1String(pair.bin);

    if (net.load_param(paramPath.toUtf8().constData()) != 0) {
        qDebug() << "load_param failed:" << paramPath << QString::fromStdString(net.last_error());
        net.clear();
        return false;
    }
    if (net.load_model(binPath.toUtf8().constData()) != 0) {
        qDebug() << "load_model failed:" << binPath << QString::fromStdString(net.last_error());
        net.clear();
        return false;
    }
    return true;
}

void PelmoraForm::bindVulkanDevice()
{
    if (gpuIndex >= ncnn::get_gpu_count() || gpuIndex < 0)
        gpuIndex = 0;
    net.clear();
    ncnn::destroy_gpu_instance();
    ncnn::create_gpu_instance();
    net.set_vulkan_device(ncnn::get_gpu_device(gpuIndex));
}

int PelmoraForm::scaleFactor() const
{
    // Follows the model pair that setupNetwork loads, whatever the stored value says.
    return upscaleValue == 1 ? 2 : 4;
}

engine::TileInference PelmoraForm::inferTile(const QImage &image) const
{
    return engine::inferImage(net, image);
}

QImage PelmoraForm::runNetwork(const QImage &image)
{
    return inferTile(image).image;
}

void PelmoraForm::computeTileSize()
{
    if (processEngine == 0) {
        qDebug() << "Using CPU";
        const auto budget = std::uint32_t(Platform::availablePhysicalMemory() >> 20);
        qDebug() << "budget_mb" << budget;
        qDebug() << "MODE_TILED";
        currentTileSize = engine::tileSizeForBudget(budget);
        return;
    }
    qDebug() << "Using GPU";
    const ncnn::VulkanDevice *device = ncnn::get_gpu_device(gpuIndex);
    if (!device) {
        currentTileSize = engine::gpuTileSize(false, 0, 0);
        return;
    }
    const std::uint32_t budget = device->get_heap_budget();
    const int type = device->info.type();
    if (type != 1)
        qDebug() << "budget_mb" << budget;
    qDebug() << "MODE_TILED";
    currentTileSize = engine::gpuTileSize(true, type, budget);
}

QImage PelmoraForm::upscaleImageTiling(const QImage &image)
{
    qDebug() << "upscaleImageTiling";
    if (image.isNull())
        return {};
    qDebug() << "Smaller then tile_size";

    // Widgets belong to the GUI thread: everything below only posts, and never waits.
    QProgressBar *bar = ui->progressBar;
    QLabel *label = ui->progressLabel;
    engine::TiledPassObserver observer;
    observer.planStarted = [bar](const engine::TilePlan &plan) {
        const int maximum = plan.progressMaximum;
        QMetaObject::invokeMethod(
            bar,
            [bar, maximum] {
                bar->setRange(0, maximum);
                bar->setValue(0);
                qDebug() << "ui->progressBar->maximum()" << bar->maximum();
            },
            Qt::QueuedConnection);
    };
    observer.tileStarted = [bar, label](const engine::TilePlan &, const engine::Tile &tile) {
        const int number = tile.number;
        QMetaObject::invokeMethod(
            bar,
            [bar, number] {
                bar->setValue(number);
                qDebug() << "ui->progressBar->value()" << bar->value();
            },
            Qt::QueuedConnection);
        QMetaObject::invokeMethod(
            label, "setText", Qt::QueuedConnection,
            Q_ARG(QString, PelmoraForm::tr("Processing Tile (%1, %2)").arg(tile.x).arg(tile.y)));
    };

    const engine::TiledPassResult result = engine::runTiledPass(
        image, currentTileSize, scaleFactor(), [this](const QImage &tile) { return inferTile(tile); },
        observer, scaleFactor() == 2 ? 2 : 1);
    if (!result.isOk()) {
        engineError = result.message;
        qDebug() << "upscaleImageTiling failed:" << result.message;
        return {};
    }
    if (result.tileSize != currentTileSize)
        qDebug() << "tile_size reduced for lack of memory:" << currentTileSize << "->" << result.tileSize;
    return result.image;
}

QImage PelmoraForm::upscaleImage(const QImage &image)
{
    if (image.isNull())
        return {};
    QImage result;
    if (engine::hasTransparency(image)) {
        qDebug() << "Has Transparency";
        result = upscaleImageWithAlpha(image);
    } else {
        qDebug() << "No Transparency";
        result = upscaleImageTiling(image);
    }
    if (!result.isNull())
        result.setColorSpace(image.colorSpace());
    return result;
}

QImage PelmoraForm::upscaleImageWithAlpha(const QImage &image)
{
    if (image.isNull())
        return {};
    const QImage alpha = engine::extractAlphaPlane(image);
    // The source as it is, not flattened on white: the tiled pass reads straight colour, so a soft
    // edge keeps its own colour instead of being lightened twice (once by the white, once by alpha).
    const QImage colour = upscaleImageTiling(image);
    if (colour.isNull())
        return {};
    return engine::mergeAlpha(colour, alpha);
}
