// Pooling on the GPU: max and average over windows; global pooling (a 1-D result) stays on the CPU.
#include "../../layers/pooling.h"
#include "gpu_layer.h"

namespace brivelle::vk {

int pool(Stream &s, const Tensor &in, Tensor &out, const PoolParams &p)
{
    if (in.offset != 0 || out.offset != 0 || in.c != out.c || p.kw < 1 || p.kh < 1 || p.sx < 1 || p.sy < 1)
        return ncnn::ERROR_FAILED;
    struct {
        int32_t w, h, c, inw, inh, kw, kh, sx, sy, padl, padt, declaredl, declaredr, declaredt, declaredb;
    } push{out.w, out.h,  out.c,  in.w,        in.h,        p.kw,        p.kh,       p.sx,
           p.sy,  p.padl, p.padt, p.declaredl, p.declaredr, p.declaredt, p.declaredb};
    return dispatch_volume(s, "pooling", {in.buf, out.buf}, &push, sizeof push,
                           {spec_i(p.average ? 1 : 0), spec_i(p.includePad ? 1 : 0)}, out.w, out.h,
                           out.groups());
}

namespace {

const char *unsupported(const ncnn::Layer &layer)
{
    return static_cast<const ncnn::Pooling &>(layer).global_pooling ? "global pooling" : nullptr;
}

class PoolingLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &l = static_cast<const ncnn::Pooling &>(layer_);
        PoolParams p;
        p.average = l.pooling_type == 1;
        p.includePad = l.avgpool_count_include_pad != 0;
        p.kw = l.kernel_w;
        p.kh = l.kernel_h;
        p.sx = l.stride_w;
        p.sy = l.stride_h;
        int padr, padb;
        l.padding(in[0]->w, in[0]->h, p.padl, padr, p.padt, padb);
        p.declaredl = l.pad_left;
        p.declaredr = l.pad_right;
        p.declaredt = l.pad_top;
        p.declaredb = l.pad_bottom;
        return pool(s, *in[0], out, p);
    }
};

} // namespace

extern const GpuLayerEntry pooling_vulkan{"Pooling", true, unsupported, create_plain<PoolingLayer>};

} // namespace brivelle::vk
