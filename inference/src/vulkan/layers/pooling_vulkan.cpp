// Pooling on the GPU: max and average over windows; global pooling (a 1-D result) stays on the CPU.
#include "../../layers/pooling.h"
#include "gpu_layer.h"

namespace brivelle::vk {

namespace {

// Max or average pooling; the window of output (x, y) starts at (x * stride - padding before, ...).
int pool(Stream &s, const Tensor &in, Tensor &out, const ncnn::Pooling &l)
{
    if (in.offset != 0 || out.offset != 0 || in.c != out.c || l.kernel_w < 1 || l.kernel_h < 1 ||
        l.stride_w < 1 || l.stride_h < 1)
        return ncnn::ERROR_FAILED;
    int padl, padr, padt, padb;
    l.padding(in.w, in.h, padl, padr, padt, padb);
    struct {
        int32_t w, h, c, inw, inh, kw, kh, sx, sy, padl, padt, declaredl, declaredr, declaredt, declaredb;
    } push{out.w,      out.h, out.c, in.w,       in.h,        l.kernel_w, l.kernel_h,  l.stride_w,
           l.stride_h, padl,  padt,  l.pad_left, l.pad_right, l.pad_top,  l.pad_bottom};
    return dispatch_volume(s, "pooling", {in.buf, out.buf}, &push, sizeof push,
                           {spec_i(l.pooling_type == 1 ? 1 : 0), spec_i(l.avgpool_count_include_pad ? 1 : 0)},
                           out.w, out.h, out.groups());
}

int supports(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &, const ncnn::Shape &,
             std::string &why)
{
    if (!static_cast<const ncnn::Pooling &>(layer).global_pooling)
        return 0;
    why = "global pooling";
    return ncnn::ERROR_UNSUPPORTED_LAYER;
}

class PoolingLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        return pool(s, *in[0], out, static_cast<const ncnn::Pooling &>(layer_));
    }
};

} // namespace

extern const GpuLayerEntry pooling_vulkan{"Pooling", supports, create_plain<PoolingLayer>};

} // namespace brivelle::vk
