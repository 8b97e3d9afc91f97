#include "workspace/PelmoraForm.h"

#include "ui_PelmoraForm.h"

#include "app/AppInfo.h"
#include "app/platform/platform.h"
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

bool mentionsMemory(const std::string &message)
{
    return QString::fromStdString(message).contains(QLatin1String("memory"), Qt::CaseInsensitive);
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
    using Status = engine::TileInference::Status;
    if (image.isNull())
        return {{}, Status::Failed, QStringLiteral("null tile")};
    const QImage rgb =
        image.format() == QImage::Format_RGB888 ? image : image.convertToFormat(QImage::Format_RGB888);

    // The stride keeps rows right even for a width that is not a multiple of 4.
    ncnn::Mat in = ncnn::Mat::from_pixels(rgb.constBits(), ncnn::Mat::PIXEL_RGB, rgb.width(), rgb.height(),
                                          int(rgb.bytesPerLine()));
    if (in.empty())
        return {{}, Status::OutOfMemory, QStringLiteral("no memory for the input of the tile")};
    const float norm[3] = {1 / 255.f, 1 / 255.f, 1 / 255.f};
    in.substract_mean_normalize(nullptr, norm);

    ncnn::Extractor ex = net.create_extractor();
    ex.set_light_mode(true);
    ex.input("data", in);
    ncnn::Mat out;
    const int rc = ex.extract("output", out);
    if (rc != 0 || out.empty()) {
        const QString why = QString::fromStdString(ex.last_error());
        return {{},
                mentionsMemory(ex.last_error()) ? Status::OutOfMemory : Status::Failed,
                why.isEmpty() ? QStringLiteral("the network gave no output") : why};
    }
    if (out.c != 3 || out.elempack != 1 || out.elemsize != 4)
        return {{},
                Status::Failed,
                QStringLiteral("unexpected output: %1 channels, pack %2, %3-byte elements")
                    .arg(out.c)
                    .arg(out.elempack)
                    .arg(out.elemsize)};

    for (int q = 0; q < out.c; ++q) {
        float *values = out.channel(q);
        const size_t count = size_t(out.w) * size_t(out.h);
        for (size_t i = 0; i < count; ++i)
            values[i] *= 255.f;
    }
    QImage result(out.w, out.h, QImage::Format_RGB888);
    if (result.isNull())
        return {{}, Status::OutOfMemory, QStringLiteral("no memory for the output of the tile")};
    out.to_pixels(result.bits(), ncnn::Mat::PIXEL_RGB, int(result.bytesPerLine()));
    return engine::TileInference::ok(std::move(result));
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
        currentTileSize = engine::kNoDeviceTileSize;
        return;
    }
    const std::uint32_t budget = device->get_heap_budget();
    if (device->info.type() == 1) {
        qDebug() << "MODE_TILED";
        currentTileSize = engine::kIntegratedGpuTileSize;
        return;
    }
    qDebug() << "budget_mb" << budget;
    qDebug() << "MODE_TILED";
    currentTileSize = engine::tileSizeForBudget(budget);
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
        observer);
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
