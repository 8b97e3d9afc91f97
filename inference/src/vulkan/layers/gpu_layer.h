#pragma once

// How one layer of a graph runs on the GPU. Each operator's lowering (shape rule, constants on the
// device, dispatch, what it takes over from the layers after it) lives in layers/<operator>_vulkan.cpp
// and joins the plan through the table in gpu_layer_table.cpp. What a layer is to the plan (input, alias,
// concatenation, weighted sum) is the layer's own Layer::role().
#include "../tensor_dispatch.h"
#include "layer.h"

#include <memory>
#include <string>
#include <vector>

namespace brivelle::vk {

// A layer folded into another's step: it reads the step's running result as its input `position`, and
// `other` is its other operand, on the device with the result's extent.
struct FoldedLayer {
    const ncnn::Layer *layer = nullptr;
    int position = 0;
    const Tensor *other = nullptr;
};

class GpuLayer {
public:
    explicit GpuLayer(const ncnn::Layer &layer) : layer_(layer) {}
    virtual ~GpuLayer() = default;
    GpuLayer(const GpuLayer &) = delete;
    GpuLayer &operator=(const GpuLayer &) = delete;

    // The output extent for these inputs; false when they do not fit. Default: the reference
    // layer's rule, with a 3-D result.
    virtual bool outputShape(const std::vector<const Tensor *> &in, int &w, int &h, int &c) const;
    // Writes the one output into out, already allocated with the extent outputShape gave.
    // 0, ncnn::ERROR_OUT_OF_MEMORY (device memory), or ncnn::ERROR_FAILED.
    virtual int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const = 0;

    // Fusion. Whether the step of this layer takes `next`, the one reader of its result, into its own
    // dispatch after the layers it took already (`folded`, in order). Default: it takes none.
    virtual bool folds(const std::vector<const ncnn::Layer *> &folded, const ncnn::Layer &next) const;
    // forward with the layers the step took. Default: forward, when it took none.
    virtual int forwardFolded(Stream &s, const std::vector<const Tensor *> &in,
                              const std::vector<FoldedLayer> &folded, Tensor &out) const;
    // Whether it can write its result as a channel range of a bigger blob (Tensor::offset), so that a
    // concatenation reading it is assembled in place.
    virtual bool writesIntoPart() const { return false; }

    const ncnn::Layer &layer() const { return layer_; }

protected:
    const ncnn::Layer &layer_;
};

// A layer that hands its input on: every top is the bottom's buffer (Split, Noop).
class AliasLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    int forward(Stream &, const std::vector<const Tensor *> &, Tensor &) const override { return 0; }
};

struct GpuLayerEntry {
    const char *type;
    // The operator's part of the backend's supports(): 0, or ncnn::ERROR_UNSUPPORTED_LAYER with why naming
    // what it has no GPU form for. Null when every layer of the type runs.
    int (*supports)(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &in, const ncnn::Shape &out,
                    std::string &why);
    // The GPU form with its constants on the device: 0, or ncnn::ERROR_OUT_OF_MEMORY /
    // ncnn::ERROR_FAILED with err naming the cause.
    int (*create)(const ncnn::Layer &layer, const ncnn::VulkanDevice &device, std::unique_ptr<GpuLayer> &out,
                  std::string &err);
};

// The entry for a type name; null when the type has no GPU form.
const GpuLayerEntry *find_gpu_layer(const std::string &type);
// The Vulkan backend's answer to Backend::supports.
bool supports_on_gpu(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &in, const ncnn::Shape &out,
                     std::string &why);

// Helpers shared by the lowerings.
template <class T>
int create_plain(const ncnn::Layer &layer, const ncnn::VulkanDevice &, std::unique_ptr<GpuLayer> &out,
                 std::string &)
{
    out = std::make_unique<T>(layer);
    return 0;
}

} // namespace brivelle::vk
