#pragma once

#include "workspace/engine/networkInference.h"
#include "workspace/engine/precision.h"
#include "workspace/engine/tiledPass.h"

#include <QImage>
#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace ncnn {
class Allocator;
class Net;
} // namespace ncnn

namespace engine {

// Where the network runs: the CPU, or one Vulkan device of the runtime's list.
struct Device {
    enum class Kind { Cpu, Gpu };
    Kind kind = Kind::Cpu;
    int gpuIndex = 0;

    static Device cpu() { return {}; }
    static Device gpu(int index) { return {Kind::Gpu, index}; }
    bool isGpu() const { return kind == Kind::Gpu; }
};

// The tile edge for a device from the memory it has available now: the budget formula on the CPU's
// free physical memory or the GPU's heap budget, counted in values of the precision that runs, 96 for an
// integrated GPU, 64 when the GPU index names no device. Reads the runtime's device list, so the GPU
// instance must exist.
int tileSizeForDevice(const Device &device, Precision precision = Precision::Fp32);

// What the device offers, from the runtime: the CPU's native bf16 products (within ONEDNN_MAX_CPU_ISA);
// a GPU's 16-bit storage once the Vulkan backend stores fp16. A GPU index that names no device offers
// nothing.
DeviceAbilities abilitiesOf(const Device &device);
// The precision `asked` runs on the device, or the refusal (choosePrecision on abilitiesOf).
PrecisionChoice precisionForDevice(Precision asked, const Device &device);

// The caller's stop request: read before every tile and, on a loaded network, by the runtime between
// two layers, so a picture stops within a fraction of a second whatever the tile. Null never stops.
using StopRequest = const std::atomic<bool> *;

struct UpscaleResult {
    // OutOfMemory: even at the smallest tile edge.
    using Status = Outcome;
    // Format_RGB888, or Format_RGBA8888 for a picture with transparency; Format_RGBX64 and
    // Format_RGBA64 for a deep one. A grey result is Format_Grayscale8 or 16, or one of the alpha
    // formats with equal colour channels. Null unless Done.
    QImage image;
    Status status = Status::Failed;
    QString reason;
    int tileSize = 0;  // the edge that produced the image
    bool grey = false; // to be stored as grey (with alpha when the image has it)
    // What the result stores: the picture's channels as its last pass through the network found them.
    Picture::Channels channels = Picture::Channels::Colour;

    bool isOk() const { return status == Status::Done; }
};

// One inference of one tile: the loaded network, or a stand-in.
using TileNetwork = std::function<TileInference(const QImage &rgb)>;

// Enlarges pictures with one loaded network on one device, at one scale, with one tile policy. It
// holds everything a worker needs, so nothing but the picture, an observer and a stop request has to
// be handed in. upscale() and runNetwork() only read it and may run on any one thread at a time;
// nothing changes it once made.
class Upscaler {
public:
    struct Config {
        // The window's slot of `scale` (2, or 4 for anything else) in this folder.
        QString modelFolder;
        // With modelParam: 0 takes the network's own scale; any other value must be it.
        int scale = 4;
        // Any network of the family, FILE.param with FILE.bin beside it, instead of a slot.
        QString modelParam;
        // A second network of the same architecture (FILE.param, FILE.bin beside it) whose weights are
        // mixed into the first's as they load: (1 - mixWeight) x first + mixWeight x second.
        QString mixParam;
        float mixWeight = 0.f;
        Device device;
        // Auto: the device's own choice (precisionForDevice); a forced one the device lacks is refused.
        Precision precision = Precision::Auto;
        int fixedTileSize = 0; // 0: from the device's memory before every picture
        int threads = 4;
        // Blocks and workspace of every inference; the runtime's own when null (tests limit memory).
        ncnn::Allocator *allocator = nullptr;
    };

    // Describes the network, then loads it onto the device. A GPU index beyond the runtime's list
    // means device 0; without any device the network runs on the CPU. The GPU instance must exist
    // and outlive the upscaler. Null, with the reason in *error, when a file does not load or the
    // network enlarges by another scale than the one asked for, or the network to mix with is not of the
    // same architecture.
    static std::shared_ptr<Upscaler> load(const Config &config, QString *error = nullptr);

    // A stand-in network (tests, benchmarks). inputMultiple 2 for networks that fold 2x2 blocks.
    Upscaler(TileNetwork network, int scale, Device device, int fixedTileSize, int inputMultiple = 1);
    ~Upscaler();
    Upscaler(const Upscaler &) = delete;
    Upscaler &operator=(const Upscaler &) = delete;

    int scale() const { return factor; }
    // The .param of a loaded network (its .bin beside it); empty for a stand-in.
    const QString &networkFile() const { return paramFile; }
    // What the tiled pass rounds tile copies up to (planTiles).
    int inputMultiple() const { return multiple; }
    const Device &device() const { return where; }
    // What the network computes in: never Auto; Fp32 for a stand-in.
    Precision precision() const { return running; }
    // The edge for the next picture: the fixed one, or the device's from its memory now.
    int tileSize() const;

    // One inference of a whole RGB image.
    TileInference runNetwork(const QImage &image, StopRequest stop = nullptr,
                             const std::function<void(int, int)> *layersDone = nullptr) const;
    // The colour of the picture through the tiled pass at the given edge (smaller after running out of
    // memory); the result is Format_RGB888, or Format_RGBX64 for a deep picture.
    UpscaleResult upscaleColour(const Picture &source, int tileSize, const ProgressObserver &observer = {},
                                StopRequest stop = nullptr) const;
    // The colour through the network, the alpha plane smoothly scaled and merged back.
    UpscaleResult upscaleWithAlpha(const Picture &source, int tileSize, const ProgressObserver &observer = {},
                                   StopRequest stop = nullptr) const;
    // The whole picture at tileSize(), as its record says: with upscaleWithAlpha when it has alpha,
    // otherwise upscaleColour; the result carries the source's colour space, resolution and text. A grey
    // picture gives the luma of the network's colour.
    UpscaleResult upscale(const Picture &source, const ProgressObserver &observer = {},
                          StopRequest stop = nullptr) const;
    // An image described as it decodes (Picture::decoded), grey when `grey` (a file stored as grey that
    // decoded to colour, as grey with alpha does).
    UpscaleResult upscale(const QImage &source, const ProgressObserver &observer = {},
                          StopRequest stop = nullptr, bool grey = false) const;

    // Time spent inside the network so far, over every thread (for benchmarks).
    qint64 networkNanoseconds() const { return insideNs.load(); }

private:
    Upscaler() = default;

    std::unique_ptr<ncnn::Net> net;
    TileNetwork network;
    NetworkBlobs blobs; // of a loaded network
    QString paramFile;
    int factor = 4;
    Device where;
    Precision running = Precision::Fp32;
    int fixedTile = 0;
    int multiple = 1;
    mutable std::atomic<qint64> insideNs{0};
};

} // namespace engine
