// A standalone ReLU on the GPU (a convolution's own activation runs inside its kernel).
#include "relu_vulkan.h"
#include "../../layers/relu.h"
#include "gpu_layer.h"

namespace brivelle::vk {

int unary(Stream &s, const char *shader, const std::vector<SpecConstant> &specialization, const Tensor &in,
          Tensor &out, float a, float b)
{
    if (in.offset != 0 || out.offset != 0)
        return ncnn::ERROR_FAILED;
    if (out.empty() && !allocate(s, out, in.w, in.h, in.c))
        return ncnn::ERROR_OUT_OF_MEMORY;
    struct {
        int32_t w, h, c;
        float a, b;
    } push{in.w, in.h, in.c, a, b};
    return dispatch_volume(s, shader, {in.buf, out.buf}, &push, sizeof push, specialization, in.w, in.h,
                           in.groups());
}

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
