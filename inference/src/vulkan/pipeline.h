#pragma once

#include "vk_functions.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ncnn {
class VulkanDevice;
}

namespace brivelle::vk {

// The SPIR-V of a shader compiled at build time, by file name without extension; null if unknown.
const uint32_t *find_shader(const char *name, size_t *word_count);

// A specialisation constant: ints and floats share 32 bits.
union SpecConstant {
    int32_t i;
    uint32_t u;
    float f;
};
inline SpecConstant spec_i(int v)
{
    SpecConstant s;
    s.i = v;
    return s;
}
inline SpecConstant spec_f(float v)
{
    SpecConstant s;
    s.f = v;
    return s;
}

// A compute pipeline: its shader reads and writes storage buffers at bindings 0..bindings-1 and takes
// push constants of pushBytes. Constants 0..2 are the workgroup size; the shader's own start at 3.
class Pipeline {
public:
    Pipeline() = default;
    ~Pipeline();
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    // Returns 0, or ncnn::ERROR_FAILED when the shader is unknown, the workgroup exceeds the device's limits
    // or the driver refuses.
    int create(const ncnn::VulkanDevice &device, const char *shader, int bindings, uint32_t pushBytes,
               const uint32_t localSize[3], const std::vector<SpecConstant> &constants);

    VkPipeline pipeline = VK_NULL_HANDLE;
    VkPipelineLayout layout = VK_NULL_HANDLE;
    VkDescriptorSetLayout setLayout = VK_NULL_HANDLE;
    int bindings = 0;
    uint32_t pushBytes = 0;
    uint32_t localSize[3] = {1, 1, 1};
    std::string name;

private:
    VkDevice device_ = VK_NULL_HANDLE;
};

// The device's pipeline for this shader and these constants, created on first use and kept until the
// device is destroyed; null on failure. Thread-safe.
Pipeline *get_pipeline(const ncnn::VulkanDevice &device, const char *shader, int bindings, uint32_t pushBytes,
                       const uint32_t localSize[3], const std::vector<SpecConstant> &constants);

} // namespace brivelle::vk
