#include "pipeline_cache.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>
#include <vector>

namespace brivelle::vk {

namespace {

// Beyond this a file is not ours or not sane: no set of this runtime's shaders comes near it.
constexpr std::uintmax_t kLargestCacheFile = 256u << 20;

uint32_t readLittle32(const unsigned char *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Whether data starts with the header that this driver writes (VkPipelineCacheHeaderVersionOne):
// drivers ought to refuse foreign data themselves, but not every one checks.
bool fitsDriver(const std::vector<unsigned char> &data, const VkPhysicalDeviceProperties &properties)
{
    constexpr size_t kHeader = 16 + VK_UUID_SIZE;
    if (data.size() < kHeader)
        return false;
    const unsigned char *p = data.data();
    return readLittle32(p) >= kHeader && readLittle32(p) <= data.size() &&
           readLittle32(p + 4) == VK_PIPELINE_CACHE_HEADER_VERSION_ONE &&
           readLittle32(p + 8) == properties.vendorID && readLittle32(p + 12) == properties.deviceID &&
           std::memcmp(p + 16, properties.pipelineCacheUUID, VK_UUID_SIZE) == 0;
}

std::vector<unsigned char> readWhole(const std::string &path)
{
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error || size == 0 || size > kLargestCacheFile)
        return {};
    std::vector<unsigned char> data(static_cast<size_t>(size));
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size())))
        return {};
    return data;
}

void writeWhole(const std::string &path, const std::vector<unsigned char> &data)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    // A name of its own for each writer: two runs never write into one file.
    std::random_device seed;
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".%08x%08x.part", seed(), seed());
    const std::string part = path + suffix;
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        if (!out)
            return;
        out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
        out.flush();
        if (!out) {
            out.close();
            fs::remove(part, error);
            return;
        }
    }
    fs::rename(part, path, error);
    if (error)
        fs::remove(part, error);
}

} // namespace

std::string pipeline_cache_name(const VkPhysicalDeviceProperties &properties)
{
    char name[128];
    int at = std::snprintf(name, sizeof name, "vulkan-%04x-%04x-", properties.vendorID, properties.deviceID);
    for (size_t i = 0; i < VK_UUID_SIZE; i++)
        at += std::snprintf(name + at, sizeof name - size_t(at), "%02x", properties.pipelineCacheUUID[i]);
    std::snprintf(name + at, sizeof name - size_t(at), ".bin");
    return name;
}

PipelineCache::~PipelineCache()
{
    close();
}

void PipelineCache::open(VkDevice device, const VkPhysicalDeviceProperties &properties,
                         const std::string &folder)
{
    close();
    device_ = device;
    file_ = folder.empty() ? std::string()
                           : (std::filesystem::path(folder) / pipeline_cache_name(properties)).string();
    std::vector<unsigned char> data = file_.empty() ? std::vector<unsigned char>() : readWhole(file_);
    if (!fitsDriver(data, properties))
        data.clear();
    VkPipelineCacheCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_PIPELINE_CACHE_CREATE_INFO;
    info.initialDataSize = data.size();
    info.pInitialData = data.empty() ? nullptr : data.data();
    if (vkCreatePipelineCache(device_, &info, nullptr, &cache_) != VK_SUCCESS) {
        // Data the driver refuses after all: start empty.
        info.initialDataSize = 0;
        info.pInitialData = nullptr;
        if (vkCreatePipelineCache(device_, &info, nullptr, &cache_) != VK_SUCCESS)
            cache_ = VK_NULL_HANDLE;
    }
    grown_ = false;
}

void PipelineCache::close()
{
    if (cache_ == VK_NULL_HANDLE)
        return;
    if (grown_ && !file_.empty()) {
        size_t size = 0;
        if (vkGetPipelineCacheData(device_, cache_, &size, nullptr) == VK_SUCCESS && size > 0 &&
            size <= kLargestCacheFile) {
            std::vector<unsigned char> data(size);
            if (vkGetPipelineCacheData(device_, cache_, &size, data.data()) == VK_SUCCESS) {
                data.resize(size);
                writeWhole(file_, data);
            }
        }
    }
    vkDestroyPipelineCache(device_, cache_, nullptr);
    cache_ = VK_NULL_HANDLE;
    grown_ = false;
}

} // namespace brivelle::vk
