// Clip on the GPU.
#include "../../layers/clip.h"
#include "gpu_layer.h"
#include "relu_vulkan.h"

namespace brivelle::vk {

namespace {

class ClipLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &clip = static_cast<const ncnn::Clip &>(layer_);
        return unary(s, "activation", {spec_i(1)}, *in[0], out, clip.min, clip.max);
    }
};

} // namespace

extern const GpuLayerEntry clip_vulkan{"Clip", nullptr, create_plain<ClipLayer>};

} // namespace brivelle::vk
