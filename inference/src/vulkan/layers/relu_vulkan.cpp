// A standalone ReLU on the GPU (a convolution's own activation runs inside its kernel).
#include "../../layers/relu.h"
#include "gpu_layer.h"

namespace brivelle::vk {

namespace {

class ReLULayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        return unary(s, "activation", {spec_i(0)}, *in[0], out,
                     static_cast<const ncnn::ReLU &>(layer_).slope);
    }
};

} // namespace

extern const GpuLayerEntry relu_vulkan{"ReLU", nullptr, create_plain<ReLULayer>};

} // namespace brivelle::vk
