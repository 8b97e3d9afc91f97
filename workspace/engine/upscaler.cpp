#include "workspace/engine/upscaler.h"

#include "base/platform/platform.h"
#include "workspace/engine/networkInference.h"
#include "workspace/engine/pictureDepth.h"
#include "workspace/engine/tileSize.h"
#include "workspace/engine/transparency.h"
#include "workspace/models/modelDescription.h"
#include "workspace/models/modelFiles.h"

#include <QColorSpace>
#include <QDebug>
#include <QElapsedTimer>

#include <ncnn/cpu.h>
#include <ncnn/gpu.h>
#include <ncnn/net.h>

#include <cstdint>

namespace engine {

int tileSizeForDevice(const Device &device, Precision precision)
{
    // Without AMX a bf16 network keeps most of its blobs in fp32 (ncnn::cpu_support_amx_bf16).
    const Precision stored =
        precision == Precision::Bf16 && !ncnn::cpu_support_amx_bf16() ? Precision::Fp32 : precision;
    const int bytes = bytesPerValue(stored);
    if (!device.isGpu()) {
        qDebug() << "Using CPU";
        const auto budget = std::uint32_t(Platform::availablePhysicalMemory() >> 20);
        qDebug() << "budget_mb" << budget;
        qDebug() << "MODE_TILED";
        return tileSizeForBudget(budget, bytes);
    }
    qDebug() << "Using GPU";
    const ncnn::VulkanDevice *gpu = ncnn::get_gpu_device(device.gpuIndex);
    if (!gpu)
        return gpuTileSize(false, 0, 0);
    const std::uint32_t budget = gpu->get_heap_budget();
    const int type = gpu->info.type();
    if (type != 1)
        qDebug() << "budget_mb" << budget;
    qDebug() << "MODE_TILED";
    return gpuTileSize(true, type, budget, bytes);
}

DeviceAbilities abilitiesOf(const Device &device)
{
    DeviceAbilities abilities;
    abilities.gpu = device.isGpu();
    if (!device.isGpu()) {
        abilities.name = QStringLiteral("the CPU (%1)").arg(QString::fromLatin1(ncnn::cpu_isa_name()));
        abilities.bf16Products = ncnn::cpu_support_bf16();
        return abilities;
    }
    const ncnn::VulkanDevice *gpu = ncnn::get_gpu_device(device.gpuIndex);
    abilities.name = QStringLiteral("gpu:%1").arg(device.gpuIndex);
    // fp16Storage stays false: the Vulkan shaders read and write fp32 buffers only so far, so auto
    // runs fp32 on every GPU and a forced fp16 is refused.
    if (gpu)
        abilities.name += QStringLiteral(" (%1)").arg(QString::fromUtf8(gpu->info.device_name()));
    return abilities;
}

PrecisionChoice precisionForDevice(Precision asked, const Device &device)
{
    return choosePrecision(asked, abilitiesOf(device));
}

namespace {

// The network a configuration names, described; its error says why it cannot be used.
ModelDescription describeConfigured(const Upscaler::Config &config)
{
    const bool slot = config.modelParam.isEmpty();
    const int expected = slot ? (config.scale == 2 ? 2 : 4) : config.scale;
    ModelDescription model =
        describeModel(slot ? slotParamPath(config.modelFolder, expected) : config.modelParam);
    if (model.isValid() && expected != 0)
        model.error = scaleRefusal(model, expected).words();
    return model;
}

} // namespace

std::shared_ptr<Upscaler> Upscaler::load(const Config &config, QString *error)
{
    const ModelDescription model = describeConfigured(config);
    if (!model.isValid()) {
        qDebug().noquote() << model.error;
        if (error)
            *error = model.error;
        return nullptr;
    }
    std::shared_ptr<Upscaler> upscaler(new Upscaler);
    upscaler->factor = model.scale;
    upscaler->where = config.device;
    upscaler->fixedTile = config.fixedTileSize;
    upscaler->multiple = model.inputMultiple;
    upscaler->net = std::make_unique<ncnn::Net>();

    ncnn::Net &net = *upscaler->net;
    net.opt.use_vulkan_compute = config.device.isGpu();
    net.opt.num_threads = config.threads;
    net.opt.blob_allocator = config.allocator;
    net.opt.workspace_allocator = config.allocator;
    if (config.device.isGpu()) {
        const int index = config.device.gpuIndex < ncnn::get_gpu_count() && config.device.gpuIndex >= 0
                              ? config.device.gpuIndex
                              : 0;
        upscaler->where.gpuIndex = index;
        net.set_vulkan_device(ncnn::get_gpu_device(index));
    }

    const auto refused = [error](const QString &why) {
        qDebug() << why;
        if (error)
            *error = why;
        return nullptr;
    };
    const PrecisionChoice precision = precisionForDevice(config.precision, upscaler->where);
    if (!precision.isOk())
        return refused(precision.refusal);
    upscaler->running = precision.precision;
    net.opt.use_bf16_storage = precision.precision == Precision::Bf16;
    net.opt.use_fp16_storage = precision.precision == Precision::Fp16;
    net.opt.use_fp16_arithmetic = false;
    qDebug().noquote() << "precision" << precisionName(precision.precision);
    const bool mixing = !config.mixParam.isEmpty();
    ModelDescription second;
    if (mixing) {
        second = describeModel(config.mixParam);
        if (!second.isValid())
            return refused(second.error);
        if (second.scale != model.scale)
            return refused(QStringLiteral("cannot mix %1 (x%2) with %3 (x%4): the scales differ")
                               .arg(model.paramPath)
                               .arg(model.scale)
                               .arg(second.paramPath)
                               .arg(second.scale));
    }
    for (const QString &path : {model.paramPath, model.binPath}) {
        const QByteArray utf8 = path.toUtf8();
        int rc = 0;
        if (path == model.paramPath)
            rc = net.load_param(utf8.constData());
        else if (mixing)
            rc = net.load_model_mixed(utf8.constData(), second.paramPath.toUtf8().constData(),
                                      second.binPath.toUtf8().constData(), config.mixWeight);
        else
            rc = net.load_model(utf8.constData());
        if (rc != 0)
            return refused(mixing && path == model.binPath
                               ? QStringLiteral("cannot mix %1 with %2: %3")
                                     .arg(path, second.binPath, QString::fromStdString(net.last_error()))
                               : QStringLiteral("cannot load %1: %2")
                                     .arg(path, QString::fromStdString(net.last_error())));
    }

    upscaler->blobs = {model.inputBlob.toUtf8(), model.outputBlob.toUtf8()};
    upscaler->paramFile = model.paramPath;
    return upscaler;
}

Upscaler::Upscaler(TileNetwork network, int scale, Device device, int fixedTileSize, int inputMultiple)
    : network(std::move(network)), factor(scale), where(device), fixedTile(fixedTileSize),
      multiple(inputMultiple)
{}

Upscaler::~Upscaler() = default;

int Upscaler::tileSize() const
{
    return fixedTile > 0 ? fixedTile : tileSizeForDevice(where, running);
}

TileInference Upscaler::runNetwork(const QImage &image, StopRequest stop,
                                   const std::function<void(int, int)> *layersDone) const
{
    if (net) {
        qint64 ns = 0;
        TileInference result = inferImage(*net, image, &ns, blobs, stop, layersDone);
        insideNs += ns;
        return result;
    }
    // A stand-in's time counts as the network's too; it is only stopped between tiles.
    QElapsedTimer clock;
    clock.start();
    TileInference result = network(image);
    insideNs += clock.nsecsElapsed();
    return result;
}

namespace {

UpscaleResult fromPass(TiledPassResult pass)
{
    UpscaleResult result;
    result.status = pass.status;
    result.image = std::move(pass.image);
    result.tileSize = pass.tileSize;
    result.reason = std::move(pass.reason);
    return result;
}

} // namespace

UpscaleResult Upscaler::upscaleColour(const Picture &source, int tileSize, const ProgressObserver &observer,
                                      StopRequest stop) const
{
    qDebug() << "upscaleImageTiling";
    if (source.image.isNull())
        return {{}, UpscaleResult::Status::Failed, QStringLiteral("no picture"), tileSize};
    qDebug() << "Smaller then tile_size";

    std::function<void(int, int)> layers;
    if (observer.tileAdvanced)
        layers = [&observer](int done, int total) {
            if (total > 0)
                observer.tileAdvanced(double(done) / total);
        };
    UpscaleResult result = fromPass(runTiledPass(
        source, tileSize, factor,
        [this, stop, &layers](const QImage &tile) { return runNetwork(tile, stop, &layers); }, observer,
        multiple, [stop] { return stop && stop->load(); }));
    if (result.isOk() && result.tileSize != tileSize)
        qDebug() << "tile_size reduced for lack of memory:" << tileSize << "->" << result.tileSize;
    if (!result.isOk() && result.status != UpscaleResult::Status::Cancelled)
        qDebug() << "upscaleImageTiling failed:" << result.reason;
    return result;
}

UpscaleResult Upscaler::upscaleWithAlpha(const Picture &source, int tileSize,
                                         const ProgressObserver &observer, StopRequest stop) const
{
    const QImage alpha = extractAlphaPlane(source);
    // The source as it is, not flattened on white: the tiled pass reads straight colour, so a soft
    // edge keeps its own colour instead of being lightened twice (once by the white, once by alpha).
    UpscaleResult result = upscaleColour(source, tileSize, observer, stop);
    if (!result.isOk())
        return result;
    result.image = mergeAlpha(result.image, alpha, source.depth);
    if (result.image.isNull())
        return {{},
                UpscaleResult::Status::OutOfMemory,
                QStringLiteral("no memory to merge the alpha plane"),
                result.tileSize};
    return result;
}

UpscaleResult Upscaler::upscale(const QImage &source, const ProgressObserver &observer, StopRequest stop,
                                bool grey) const
{
    return upscale(Picture::decoded(source, grey), observer, stop);
}

UpscaleResult Upscaler::upscale(const Picture &picture, const ProgressObserver &observer,
                                StopRequest stop) const
{
    const QImage &source = picture.image;
    if (source.isNull())
        return {{}, UpscaleResult::Status::Failed, QStringLiteral("no picture"), 0};
    const int edge = tileSize();
    qDebug() << "currentTileSize:" << edge;
    UpscaleResult result;
    if (picture.hasAlpha()) {
        qDebug() << "Has Transparency";
        result = upscaleWithAlpha(picture, edge, observer, stop);
    } else {
        qDebug() << "No Transparency";
        result = upscaleColour(picture, edge, observer, stop);
    }
    if (!result.isOk())
        return result;
    // What the picture says of itself goes with it: its colour space, its resolution (the same dots
    // per metre: the print grows with the pixels) and its text (title, comment, author).
    result.image.setColorSpace(source.colorSpace());
    result.image.setDotsPerMeterX(source.dotsPerMeterX());
    result.image.setDotsPerMeterY(source.dotsPerMeterY());
    for (const QString &key : source.textKeys())
        result.image.setText(key, source.text(key));
    // By the stored format, not by content (isGrayscale() would scan colour pictures too): a colour
    // file that happens to hold only greys stays a colour file.
    result.grey = picture.isGrey();
    result.channels = picture.channels;
    if (result.grey) {
        result.image = lumaOf(result.image);
        if (result.image.isNull())
            return {{},
                    UpscaleResult::Status::OutOfMemory,
                    QStringLiteral("no memory for the grey result"),
                    result.tileSize};
    }
    return result;
}

} // namespace engine
