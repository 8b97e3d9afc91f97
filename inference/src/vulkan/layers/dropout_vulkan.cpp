// Dropout at inference: the identity, or a multiplication by its scale.
#include "../../layers/dropout.h"
#include "binaryop_vulkan.h"
#include "gpu_layer.h"

namespace brivelle::vk {

namespace {

class DropoutLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        return binary(s, 2, *in[0], Tensor{}, scale(), out);
    }

private:
    float scale() const { return static_cast<const ncnn::Dropout &>(layer_).scale; }
};

} // namespace

extern const GpuLayerEntry dropout_vulkan{"Dropout", nullptr, create_plain<DropoutLayer>};

} // namespace brivelle::vk
