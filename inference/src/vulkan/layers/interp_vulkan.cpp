// Interp on the GPU: nearest and bilinear resizing.
#include "interp_vulkan.h"
#include "../../layers/interp.h"
#include "gpu_layer.h"

namespace brivelle::vk {

int interp(Stream &s, const Tensor &in, Tensor &out, int mode, bool alignCorner, float scaleX, float scaleY)
{
    if ((mode != 1 && mode != 2) || in.offset != 0 || out.offset != 0)
        return ncnn::ERROR_FAILED;
    struct {
        int32_t w, h, c, inw, inh;
        float sx, sy;
    } push{out.w, out.h, out.c, in.w, in.h, scaleX, scaleY};
    return dispatch_volume(s, "interp", {in.buf, out.buf}, &push, sizeof push,
                           {spec_i(mode), spec_i(alignCorner ? 1 : 0)}, out.w, out.h, out.groups());
}

namespace {

int supports(const ncnn::Layer &layer, const std::vector<ncnn::Shape> &, const ncnn::Shape &,
             std::string &why)
{
    if (static_cast<const ncnn::Interp &>(layer).resize_type <= 2)
        return 0;
    why = "bicubic resizing";
    return ncnn::ERROR_UNSUPPORTED_LAYER;
}

class InterpLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &ip = static_cast<const ncnn::Interp &>(layer_);
        const Tensor &t = *in[0];
        float sx, sy;
        if (ip.resize_type == 2 && ip.align_corner) {
            sx = out.w > 1 ? float(t.w - 1) / float(out.w - 1) : 0.f;
            sy = out.h > 1 ? float(t.h - 1) / float(out.h - 1) : 0.f;
        } else {
            sx = ip.output_width ? float(t.w) / float(out.w) : 1.f / ip.width_scale;
            sy = ip.output_height ? float(t.h) / float(out.h) : 1.f / ip.height_scale;
        }
        return interp(s, t, out, ip.resize_type, ip.align_corner != 0, sx, sy);
    }
};

} // namespace

extern const GpuLayerEntry interp_vulkan{"Interp", supports, create_plain<InterpLayer>};

} // namespace brivelle::vk
