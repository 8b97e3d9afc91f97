#include "pipeline.h"

#include "device.h"

#include <ncnn/errors.h>

#include <cstdio>

namespace brivelle::vk {

Pipeline::~Pipeline()
{
    if (pipeline)
        vkDestroyPipeline(device_, pipeline, nullptr);
    if (layout)
        vkDestroyPipelineLayout(device_, layout, nullptr);
    if (setLayout)
        vkDestroyDescriptorSetLayout(device_, setLayout, nullptr);
}

namespace {

// The descriptor set of `bindingCount` storage buffers and the pipeline layout with `push` bytes of push
// constants: 0, or ERROR_FAILED.
int createLayouts(VkDevice device, int bindingCount, uint32_t push, VkDescriptorSetLayout &setLayout,
                  VkPipelineLayout &layout)
{
    std::vector<VkDescriptorSetLayoutBinding> slots(static_cast<size_t>(bindingCount));
    for (int i = 0; i < bindingCount; i++) {
        slots[i] = {};
        slots[i].binding = static_cast<uint32_t>(i);
        slots[i].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        slots[i].descriptorCount = 1;
        slots[i].stageFlags = VK_SHADER_STAGE_COMPUTE_BIT;
    }
    VkDescriptorSetLayoutCreateInfo setInfo{};
    setInfo.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO;
    setInfo.bindingCount = static_cast<uint32_t>(slots.size());
    setInfo.pBindings = slots.data();
    if (vkCreateDescriptorSetLayout(device, &setInfo, nullptr, &setLayout) != VK_SUCCESS)
        return ncnn::ERROR_FAILED;

    VkPushConstantRange range{VK_SHADER_STAGE_COMPUTE_BIT, 0, push};
    VkPipelineLayoutCreateInfo layoutInfo{};
    layoutInfo.sType = VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO;
    layoutInfo.setLayoutCount = 1;
    layoutInfo.pSetLayouts = &setLayout;
    layoutInfo.pushConstantRangeCount = push > 0 ? 1 : 0;
    layoutInfo.pPushConstantRanges = push > 0 ? &range : nullptr;
    if (vkCreatePipelineLayout(device, &layoutInfo, nullptr, &layout) != VK_SUCCESS)
        return ncnn::ERROR_FAILED;
    return 0;
}

} // namespace

int Pipeline::create(const ncnn::VulkanDevice &dev, const char *shader, int bindingCount, uint32_t push,
                     const uint32_t local[3], const std::vector<SpecConstant> &constants)
{
    device_ = handle(dev);
    name = shader;
    bindings = bindingCount;
    pushBytes = push;
    const VkPhysicalDeviceLimits &lim = limits(dev);
    const uint64_t invocations = uint64_t(local[0]) * local[1] * local[2];
    if (local[0] == 0 || local[1] == 0 || local[2] == 0 || local[0] > lim.maxComputeWorkGroupSize[0] ||
        local[1] > lim.maxComputeWorkGroupSize[1] || local[2] > lim.maxComputeWorkGroupSize[2] ||
        invocations > lim.maxComputeWorkGroupInvocations || push > lim.maxPushConstantsSize)
        return ncnn::ERROR_FAILED;
    for (int i = 0; i < 3; i++)
        localSize[i] = local[i];

    size_t words = 0;
    const uint32_t *code = find_shader(shader, &words);
    if (!code)
        return ncnn::ERROR_FAILED;

    if (createLayouts(device_, bindingCount, push, setLayout, layout) != 0)
        return ncnn::ERROR_FAILED;

    VkShaderModuleCreateInfo moduleInfo{};
    moduleInfo.sType = VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO;
    moduleInfo.codeSize = words * 4;
    moduleInfo.pCode = code;
    VkShaderModule module = VK_NULL_HANDLE;
    if (vkCreateShaderModule(device_, &moduleInfo, nullptr, &module) != VK_SUCCESS)
        return ncnn::ERROR_FAILED;

    std::vector<uint32_t> values = {local[0], local[1], local[2]};
    for (const SpecConstant &c : constants)
        values.push_back(c.u);
    std::vector<VkSpecializationMapEntry> entries(values.size());
    for (size_t i = 0; i < values.size(); i++)
        entries[i] = {static_cast<uint32_t>(i), static_cast<uint32_t>(i * 4), 4};
    VkSpecializationInfo specialization{};
    specialization.mapEntryCount = static_cast<uint32_t>(entries.size());
    specialization.pMapEntries = entries.data();
    specialization.dataSize = values.size() * 4;
    specialization.pData = values.data();

    VkComputePipelineCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO;
    info.stage.sType = VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO;
    info.stage.stage = VK_SHADER_STAGE_COMPUTE_BIT;
    info.stage.module = module;
    info.stage.pName = "main";
    info.stage.pSpecializationInfo = &specialization;
    info.layout = layout;
    ncnn::VulkanDevice::Private &d = *dev.d;
    const VkResult r =
        vkCreateComputePipelines(device_, d.pipelineCache.handle(), 1, &info, nullptr, &pipeline);
    d.pipelineCache.grew();
    vkDestroyShaderModule(device_, module, nullptr);
    if (r != VK_SUCCESS) {
        pipeline = VK_NULL_HANDLE;
        return ncnn::ERROR_FAILED;
    }
    return 0;
}

Pipeline *get_pipeline(const ncnn::VulkanDevice &device, const char *shader, int bindings, uint32_t pushBytes,
                       const uint32_t localSize[3], const std::vector<SpecConstant> &constants)
{
    std::string key = shader;
    char part[32];
    for (int i = 0; i < 3; i++) {
        std::snprintf(part, sizeof part, ":%u", localSize[i]);
        key += part;
    }
    for (const SpecConstant &c : constants) {
        std::snprintf(part, sizeof part, ",%08x", c.u);
        key += part;
    }
    ncnn::VulkanDevice::Private &d = *device.d;
    std::lock_guard<std::mutex> lock(d.pipelineMutex);
    auto it = d.pipelines.find(key);
    if (it != d.pipelines.end())
        return it->second.get();
    auto p = std::make_unique<Pipeline>();
    if (p->create(device, shader, bindings, pushBytes, localSize, constants) != 0)
        return nullptr;
    Pipeline *raw = p.get();
    d.pipelines.emplace(key, std::move(p));
    return raw;
}

} // namespace brivelle::vk
