#pragma once

#include "vk_functions.h"

#include <string>

namespace brivelle::vk {

// A driver's compiled pipelines kept in a file between runs, so that a short job does not compile
// every shader again. The file is named by the driver's pipelineCacheUUID, so a new driver or
// another GPU never reads data it cannot use; it is read whole at start and replaced whole, by a
// rename, when the run made new pipelines. A folder that cannot be read or written only costs the
// compilation: every failure here is silent. Runs that share the folder at once each write their
// own file and the last rename wins, so a reader always sees one complete file.
class PipelineCache {
public:
    PipelineCache() = default;
    ~PipelineCache();
    PipelineCache(const PipelineCache &) = delete;
    PipelineCache &operator=(const PipelineCache &) = delete;

    // Empty `folder`: a cache for this run only.
    void open(VkDevice device, const VkPhysicalDeviceProperties &properties, const std::string &folder);
    // Writes the file when pipelines were made since open(); then releases the cache.
    void close();

    VkPipelineCache handle() const { return cache_; }
    void grew() { grown_ = true; }

private:
    VkDevice device_ = VK_NULL_HANDLE;
    VkPipelineCache cache_ = VK_NULL_HANDLE;
    std::string file_;
    bool grown_ = false;
};

// The file name for a driver, from its properties: "vulkan-<vendor>-<device>-<pipelineCacheUUID>.bin".
std::string pipeline_cache_name(const VkPhysicalDeviceProperties &properties);

} // namespace brivelle::vk
