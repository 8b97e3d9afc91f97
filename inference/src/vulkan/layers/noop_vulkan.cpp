// Noop is the identity by definition: its top is the bottom's buffer.
#include "gpu_layer.h"

namespace brivelle::vk {

extern const GpuLayerEntry noop_vulkan{"Noop", nullptr, create_plain<AliasLayer>};

} // namespace brivelle::vk
