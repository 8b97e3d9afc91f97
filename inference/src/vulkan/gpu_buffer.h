#pragma once

#include "vk_functions.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace ncnn {
class VulkanDevice;
}

namespace brivelle::vk {

// One VkBuffer with its own memory. Device buffers live in device-local memory; staging buffers are
// host-visible and stay mapped.
struct Buffer {
    VkBuffer buffer = VK_NULL_HANDLE;
    VkDeviceMemory memory = VK_NULL_HANDLE;
    size_t size = 0;
    void *mapped = nullptr;
    bool staging = false;
};

// Device buffers are costly to create, and the tiles of one image all have the same shape, so
// released buffers wait here for the next request of a size they can serve. Thread-safe.
class BufferPool {
public:
    explicit BufferPool(const ncnn::VulkanDevice &device);
    ~BufferPool();
    BufferPool(const BufferPool &) = delete;
    BufferPool &operator=(const BufferPool &) = delete;

    // Null when the device has no memory left, even after the idle buffers were given back.
    std::shared_ptr<Buffer> acquire(size_t bytes);
    std::shared_ptr<Buffer> acquireStaging(size_t bytes);

    // Frees every idle buffer.
    void trim();

    size_t idleBytes() const;
    size_t liveBytes() const;
    // The most bytes handed out at once since the last resetPeak().
    size_t peakLiveBytes() const;
    void resetPeak();
    // Device buffers created so far (staging excluded).
    size_t allocationCount() const;

    // Tests: every allocation fails once this many bytes of device memory are in use (0: no cap).
    void setAllocationCap(size_t bytes);

private:
    Buffer *create(size_t bytes, bool staging);
    void destroy(Buffer *b);
    std::shared_ptr<Buffer> wrap(Buffer *b);
    void release(Buffer *b);

    const ncnn::VulkanDevice &device_;
    mutable std::mutex mutex_;
    std::vector<Buffer *> idle_;
    size_t idleBytes_ = 0;
    size_t liveBytes_ = 0;
    size_t peakBytes_ = 0;
    size_t allocations_ = 0;
    size_t cap_ = 0;
    // Released buffers hold a pointer back here; the pool outlives them because the device waits for
    // every network to be released before it is destroyed.
    std::shared_ptr<bool> alive_;
};

} // namespace brivelle::vk
