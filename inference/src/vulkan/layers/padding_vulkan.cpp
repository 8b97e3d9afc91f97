// Padding on the GPU, and the shifted-copy kernel that Crop shares with it.
#include "padding_vulkan.h"
#include "../../layers/padding.h"
#include "gpu_layer.h"

namespace brivelle::vk {

int pad(Stream &s, const Tensor &in, Tensor &out, int left, int top, int front, int mode, float value)
{
    if (in.w <= 0 || in.h <= 0 || in.c <= 0 || in.offset != 0 || out.offset != 0)
        return ncnn::ERROR_FAILED;
    struct {
        int32_t w, h, c, inw, inh, inc, left, top, front;
        float value;
    } push{out.w, out.h, out.c, in.w, in.h, in.c, left, top, front, value};
    return dispatch_volume(s, "pad", {in.buf, out.buf}, &push, sizeof push, {spec_i(mode)}, out.w, out.h,
                           out.groups());
}

namespace {

class PaddingLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &pd = static_cast<const ncnn::Padding &>(layer_);
        return pad(s, *in[0], out, pd.left, pd.top, pd.front, pd.type, pd.value);
    }
};

} // namespace

extern const GpuLayerEntry padding_vulkan{"Padding", nullptr, create_plain<PaddingLayer>};

} // namespace brivelle::vk
