// Swish on the GPU: x * sigmoid(x) in a kernel of its own.
#include "gpu_layer.h"
#include "relu_vulkan.h"

namespace brivelle::vk {

namespace {

class SwishLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        return unary(s, "swish", {}, *in[0], out);
    }
};

} // namespace

extern const GpuLayerEntry swish_vulkan{"Swish", nullptr, create_plain<SwishLayer>};

} // namespace brivelle::vk
