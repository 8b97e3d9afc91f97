// PixelShuffle on the GPU, and the depth/space rearrangement kernel it shares with Reorg.
#include "pixelshuffle_vulkan.h"
#include "../../layers/pixelshuffle.h"
#include "gpu_layer.h"

namespace brivelle::vk {

int shuffle(Stream &s, const Tensor &in, Tensor &out, bool depthToSpace, int mode, int r)
{
    if (r <= 0 || in.offset != 0 || out.offset != 0)
        return ncnn::ERROR_FAILED;
    struct {
        int32_t w, h, c, inw, inh, inc;
    } push{out.w, out.h, out.c, in.w, in.h, in.c};
    return dispatch_volume(s, "shuffle", {in.buf, out.buf}, &push, sizeof push,
                           {spec_i(depthToSpace ? 1 : 0), spec_i(mode), spec_i(r)}, out.w, out.h,
                           out.groups());
}

namespace {

class PixelShuffleLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &ps = static_cast<const ncnn::PixelShuffle &>(layer_);
        return shuffle(s, *in[0], out, true, ps.mode, ps.upscale_factor);
    }
};

} // namespace

extern const GpuLayerEntry pixelshuffle_vulkan{"PixelShuffle", nullptr, create_plain<PixelShuffleLayer>};

} // namespace brivelle::vk
