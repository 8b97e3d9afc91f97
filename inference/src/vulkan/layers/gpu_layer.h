#pragma once

// How one layer of a graph runs on the GPU. Each operator's lowering (shape rule, constants on the
// device, dispatch, what it offers to fusion) lives in layers/<operator>_vulkan.cpp and joins the plan
// through the table in gpu_layer_table.cpp.
#include "../gpu_layers.h"
#include "layer.h"

#include <memory>
#include <string>
#include <vector>

namespace brivelle::vk {

class GpuLayer {
public:
    explicit GpuLayer(const ncnn::Layer &layer) : layer_(layer) {}
    virtual ~GpuLayer() = default;
    GpuLayer(const GpuLayer &) = delete;
    GpuLayer &operator=(const GpuLayer &) = delete;

    // Input: set by the caller. Alias: every top is the first bottom (Split, Dropout, Noop).
    enum class Role { Compute, Input, Alias };
    virtual Role role() const { return Role::Compute; }

    // The output extent for these inputs; false when they do not fit. Default: the reference
    // layer's rule, with a 3-D result.
    virtual bool outputShape(const std::vector<const Tensor *> &in, int &w, int &h, int &c) const;
    // Writes the one output into out, already allocated with the extent outputShape gave.
    // 0, ncnn::ERROR_OUT_OF_MEMORY (device memory), or ncnn::ERROR_FAILED.
    virtual int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const = 0;

    // What fusion may take over. The convolution that computes this layer: a sum or a concatenation
    // reading its output may have it write there directly.
    virtual const Convolution *convolution() const { return nullptr; }
    // A sum ca * a + cb * b of exactly two blobs, which a convolution producing either may write.
    virtual bool weightedSum(float &ca, float &cb) const
    {
        (void)ca;
        (void)cb;
        return false;
    }
    // A concatenation along channels, which may be assembled in place by its producers.
    virtual bool channelConcat() const { return false; }

    const ncnn::Layer &layer() const { return layer_; }

protected:
    const ncnn::Layer &layer_;
};

// A layer that hands its input on: every top is the bottom's buffer (Split, Noop).
class AliasLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    Role role() const override { return Role::Alias; }
    int forward(Stream &, const std::vector<const Tensor *> &, Tensor &) const override { return 0; }
};

struct GpuLayerEntry {
    const char *type;
    // False for Input and the layers that pass their input on: a graph of only those is no GPU work.
    bool computes;
    // Why this layer has no GPU form despite its type (null when it has one).
    const char *(*unsupported)(const ncnn::Layer &layer);
    // The GPU form with its constants on the device: 0, or ncnn::ERROR_OUT_OF_MEMORY /
    // ncnn::ERROR_FAILED with err naming the cause.
    int (*create)(const ncnn::Layer &layer, const ncnn::VulkanDevice &device, std::unique_ptr<GpuLayer> &out,
                  std::string &err);
};

// The entry for a type name; null when the type has no GPU form.
const GpuLayerEntry *find_gpu_layer(const std::string &type);
// Whether the layer has a GPU form for its parameters; when not, why (when asked).
bool runs_on_gpu(const ncnn::Layer &layer, std::string *why = nullptr);

// Helpers shared by the lowerings.
const char *always_supported(const ncnn::Layer &layer);
template <class T>
int create_plain(const ncnn::Layer &layer, const ncnn::VulkanDevice &, std::unique_ptr<GpuLayer> &out,
                 std::string &)
{
    out = std::make_unique<T>(layer);
    return 0;
}

} // namespace brivelle::vk
