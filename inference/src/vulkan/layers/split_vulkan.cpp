// Split hands its input on: on the GPU every top is the bottom's buffer.
#include "gpu_layer.h"

namespace brivelle::vk {

extern const GpuLayerEntry split_vulkan{"Split", nullptr, create_plain<AliasLayer>};

} // namespace brivelle::vk
