// Reorg on the GPU: PixelShuffle's kernel run from space to depth.
#include "../../layers/reorg.h"
#include "gpu_layer.h"
#include "pixelshuffle_vulkan.h"

namespace brivelle::vk {

namespace {

class ReorgLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &ro = static_cast<const ncnn::Reorg &>(layer_);
        return shuffle(s, *in[0], out, false, ro.mode, ro.stride);
    }
};

} // namespace

extern const GpuLayerEntry reorg_vulkan{"Reorg", nullptr, create_plain<ReorgLayer>};

} // namespace brivelle::vk
