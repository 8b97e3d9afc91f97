// Crop on the GPU: Padding's kernel with negative borders.
#include "../../layers/crop.h"
#include "gpu_layer.h"
#include "padding_vulkan.h"

namespace brivelle::vk {

namespace {

class CropLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &cr = static_cast<const ncnn::Crop &>(layer_);
        int start[3], size[3];
        if (!cr.window(ncnn::Shape{3, in[0]->w, in[0]->h, in[0]->c}, start, size))
            return ncnn::ERROR_BAD_INPUT;
        return pad(s, *in[0], out, -start[2], -start[1], -start[0], 0, 0.f);
    }
};

} // namespace

extern const GpuLayerEntry crop_vulkan{"Crop", nullptr, create_plain<CropLayer>};

} // namespace brivelle::vk
