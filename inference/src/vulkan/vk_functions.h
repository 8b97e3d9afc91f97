#pragma once

// The Vulkan loader is opened at run time rather than linked, so that a machine without any Vulkan
// installation still starts the program and simply sees no GPU.
#define VK_NO_PROTOTYPES
#include <vulkan/vulkan.h>

namespace brivelle::vk {

#define BRIVELLE_VK_GLOBAL_FUNCTIONS(X)                                                                      \
    X(vkCreateInstance)                                                                                      \
    X(vkEnumerateInstanceLayerProperties)                                                                    \
    X(vkEnumerateInstanceExtensionProperties)

#define BRIVELLE_VK_INSTANCE_FUNCTIONS(X)                                                                    \
    X(vkDestroyInstance)                                                                                     \
    X(vkEnumeratePhysicalDevices)                                                                            \
    X(vkGetPhysicalDeviceProperties)                                                                         \
    X(vkGetPhysicalDeviceProperties2)                                                                        \
    X(vkGetPhysicalDeviceMemoryProperties)                                                                   \
    X(vkGetPhysicalDeviceMemoryProperties2)                                                                  \
    X(vkGetPhysicalDeviceQueueFamilyProperties)                                                              \
    X(vkEnumerateDeviceExtensionProperties)                                                                  \
    X(vkCreateDevice)                                                                                        \
    X(vkGetDeviceProcAddr)

#define BRIVELLE_VK_DEVICE_FUNCTIONS(X)                                                                      \
    X(vkDestroyDevice)                                                                                       \
    X(vkGetDeviceQueue)                                                                                      \
    X(vkDeviceWaitIdle)                                                                                      \
    X(vkQueueSubmit)                                                                                         \
    X(vkAllocateMemory)                                                                                      \
    X(vkFreeMemory)                                                                                          \
    X(vkMapMemory)                                                                                           \
    X(vkUnmapMemory)                                                                                         \
    X(vkFlushMappedMemoryRanges)                                                                             \
    X(vkInvalidateMappedMemoryRanges)                                                                        \
    X(vkCreateBuffer)                                                                                        \
    X(vkDestroyBuffer)                                                                                       \
    X(vkGetBufferMemoryRequirements)                                                                         \
    X(vkBindBufferMemory)                                                                                    \
    X(vkCreateShaderModule)                                                                                  \
    X(vkDestroyShaderModule)                                                                                 \
    X(vkCreateDescriptorSetLayout)                                                                           \
    X(vkDestroyDescriptorSetLayout)                                                                          \
    X(vkCreatePipelineLayout)                                                                                \
    X(vkDestroyPipelineLayout)                                                                               \
    X(vkCreateComputePipelines)                                                                              \
    X(vkCreatePipelineCache)                                                                                 \
    X(vkDestroyPipelineCache)                                                                                \
    X(vkGetPipelineCacheData)                                                                                \
    X(vkDestroyPipeline)                                                                                     \
    X(vkCreateDescriptorPool)                                                                                \
    X(vkDestroyDescriptorPool)                                                                               \
    X(vkResetDescriptorPool)                                                                                 \
    X(vkAllocateDescriptorSets)                                                                              \
    X(vkUpdateDescriptorSets)                                                                                \
    X(vkCreateCommandPool)                                                                                   \
    X(vkDestroyCommandPool)                                                                                  \
    X(vkAllocateCommandBuffers)                                                                              \
    X(vkFreeCommandBuffers)                                                                                  \
    X(vkBeginCommandBuffer)                                                                                  \
    X(vkEndCommandBuffer)                                                                                    \
    X(vkResetCommandBuffer)                                                                                  \
    X(vkCmdBindPipeline)                                                                                     \
    X(vkCmdBindDescriptorSets)                                                                               \
    X(vkCmdPushConstants)                                                                                    \
    X(vkCmdDispatch)                                                                                         \
    X(vkCmdPipelineBarrier)                                                                                  \
    X(vkCmdCopyBuffer)                                                                                       \
    X(vkCmdFillBuffer)                                                                                       \
    X(vkCreateFence)                                                                                         \
    X(vkDestroyFence)                                                                                        \
    X(vkResetFences)                                                                                         \
    X(vkWaitForFences)

#define BRIVELLE_VK_DECLARE(name) extern PFN_##name name;
BRIVELLE_VK_GLOBAL_FUNCTIONS(BRIVELLE_VK_DECLARE)
BRIVELLE_VK_INSTANCE_FUNCTIONS(BRIVELLE_VK_DECLARE)
BRIVELLE_VK_DEVICE_FUNCTIONS(BRIVELLE_VK_DECLARE)
#undef BRIVELLE_VK_DECLARE

// Opens the loader library (the system's, or the one at path) and resolves the global functions.
// Returns false, with every pointer null, when no loader is found.
bool open_loader(const char *path);
// Resolves the instance-level functions; false if any is missing.
bool load_instance_functions(VkInstance instance);
// Resolves the device-level functions. One process-wide table serves every device: the loader's
// trampolines dispatch on the handle, so this is only a shortcut past the instance layer.
bool load_device_functions(VkInstance instance);
// Any other instance-level function (extensions), or null.
PFN_vkVoidFunction instance_function(VkInstance instance, const char *name);
// Forgets every pointer and closes the library.
void close_loader();

} // namespace brivelle::vk
