// Layers that hand their input on unchanged: on the GPU every top is the bottom's buffer.
#include "gpu_layer.h"

namespace brivelle::vk {

namespace {

class AliasLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;
    Role role() const override { return Role::Alias; }
    int forward(Stream &, const std::vector<const Tensor *> &, Tensor &) const override { return 0; }
};

} // namespace

extern const GpuLayerEntry split_vulkan{"Split", false, always_supported, create_plain<AliasLayer>};
// At inference Dropout is the identity, and Noop is one by definition.
extern const GpuLayerEntry dropout_vulkan{"Dropout", false, always_supported, create_plain<AliasLayer>};
extern const GpuLayerEntry noop_vulkan{"Noop", false, always_supported, create_plain<AliasLayer>};

} // namespace brivelle::vk
