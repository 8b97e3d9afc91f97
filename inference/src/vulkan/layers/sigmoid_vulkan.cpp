// Sigmoid on the GPU.
#include "gpu_layer.h"
#include "relu_vulkan.h"

namespace brivelle::vk {

namespace {

class SigmoidLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        return unary(s, "activation", {spec_i(2)}, *in[0], out);
    }
};

} // namespace

extern const GpuLayerEntry sigmoid_vulkan{"Sigmoid", nullptr, create_plain<SigmoidLayer>};

} // namespace brivelle::vk
