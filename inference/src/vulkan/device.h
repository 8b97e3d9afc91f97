#pragma once

#include "ncnn/gpu.h"
#include "pipeline_cache.h"
#include "vk_functions.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace brivelle::vk {
class BufferPool;
class Pipeline;
} // namespace brivelle::vk

namespace ncnn {

class GpuInfo::Private {
public:
    VkPhysicalDevice physical = VK_NULL_HANDLE;
    VkPhysicalDeviceProperties properties{};
    VkPhysicalDeviceMemoryProperties memory{};
    uint32_t computeFamily = 0;
    bool hasMemoryBudget = false;
    // Invocations that run in lockstep; 0 when the driver does not say.
    uint32_t subgroupSize = 0;
    std::string name;
    int type = -1;
    std::string uuid; // as uuid_text() gives it
    std::string pci;  // as pci_address() gives it
};

class VulkanDevice::Private {
public:
    VkDevice device = VK_NULL_HANDLE;
    VkQueue queue = VK_NULL_HANDLE;
    // A VkQueue must not be used by two threads at once; extractors on several threads share it.
    std::mutex queueMutex;
    uint32_t deviceMemoryType = UINT32_MAX;
    uint32_t stagingMemoryType = UINT32_MAX;
    bool stagingCoherent = false;
    std::unique_ptr<brivelle::vk::BufferPool> pool;

    std::mutex pipelineMutex;
    std::map<std::string, std::unique_ptr<brivelle::vk::Pipeline>> pipelines;
    brivelle::vk::PipelineCache pipelineCache; // guarded by pipelineMutex
};

} // namespace ncnn

namespace brivelle::vk {

// Whether the instance runs under VK_LAYER_KHRONOS_validation, and how many errors it has reported
// since the process started.
bool validation_enabled();
int validation_error_count();

// Changes whenever the instance is destroyed: whatever was made on its devices is gone.
uint64_t instance_generation();
// Whether the pointer is one of the devices of the current instance (not a stale one).
bool is_live_device(const ncnn::VulkanDevice *device);

// The handles of a device, for code inside the runtime.
inline VkDevice handle(const ncnn::VulkanDevice &dev)
{
    return dev.d->device;
}
inline const VkPhysicalDeviceLimits &limits(const ncnn::VulkanDevice &dev)
{
    return dev.info.d->properties.limits;
}
inline uint32_t subgroup_size(const ncnn::VulkanDevice &dev)
{
    return dev.info.d->subgroupSize;
}

} // namespace brivelle::vk
