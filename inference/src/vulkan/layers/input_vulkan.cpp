// Input on the GPU: its blob is uploaded by the plan; the layer itself does nothing.
#include "gpu_layer.h"

namespace brivelle::vk {

namespace {

class InputLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    int forward(Stream &, const std::vector<const Tensor *> &, Tensor &) const override
    {
        return ncnn::ERROR_FAILED;
    }
};

} // namespace

extern const GpuLayerEntry input_vulkan{"Input", nullptr, create_plain<InputLayer>};

} // namespace brivelle::vk
