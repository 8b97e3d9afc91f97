#include "gpu_buffer.h"

#include "device.h"

#include <algorithm>

namespace brivelle::vk {

namespace {

// Buffers are sized in steps so that tiles that differ by a few pixels still share them.
constexpr size_t kGranule = 64 * 1024;
// An idle buffer serves a request if it is at most this much larger, so that big buffers are not
// tied up by small blobs.
constexpr size_t kMaxWasteFactor = 2;

size_t roundUp(size_t bytes)
{
    return (std::max<size_t>(bytes, 4) + kGranule - 1) / kGranule * kGranule;
}

} // namespace

BufferPool::BufferPool(const ncnn::VulkanDevice &device)
    : device_(device), alive_(std::make_shared<bool>(true))
{}

BufferPool::~BufferPool()
{
    *alive_ = false;
    trim();
}

Buffer *BufferPool::create(size_t bytes, bool staging)
{
    const VkDevice dev = handle(device_);
    if (!staging && cap_ > 0 && liveBytes_ + idleBytes_ + bytes > cap_)
        return nullptr;
    auto *b = new Buffer;
    b->size = bytes;
    b->staging = staging;
    VkBufferCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_BUFFER_CREATE_INFO;
    info.size = bytes;
    info.usage = VK_BUFFER_USAGE_STORAGE_BUFFER_BIT | VK_BUFFER_USAGE_TRANSFER_SRC_BIT |
                 VK_BUFFER_USAGE_TRANSFER_DST_BIT;
    info.sharingMode = VK_SHARING_MODE_EXCLUSIVE;
    if (vkCreateBuffer(dev, &info, nullptr, &b->buffer) != VK_SUCCESS) {
        delete b;
        return nullptr;
    }
    VkMemoryRequirements req;
    vkGetBufferMemoryRequirements(dev, b->buffer, &req);
    const uint32_t type = staging ? device_.d->stagingMemoryType : device_.d->deviceMemoryType;
    VkMemoryAllocateInfo alloc{};
    alloc.sType = VK_STRUCTURE_TYPE_MEMORY_ALLOCATE_INFO;
    alloc.allocationSize = req.size;
    alloc.memoryTypeIndex = type;
    if (!(req.memoryTypeBits & (1u << type)) ||
        vkAllocateMemory(dev, &alloc, nullptr, &b->memory) != VK_SUCCESS ||
        vkBindBufferMemory(dev, b->buffer, b->memory, 0) != VK_SUCCESS ||
        (staging && vkMapMemory(dev, b->memory, 0, VK_WHOLE_SIZE, 0, &b->mapped) != VK_SUCCESS)) {
        destroy(b);
        return nullptr;
    }
    if (!staging)
        allocations_++;
    return b;
}

void BufferPool::destroy(Buffer *b)
{
    const VkDevice dev = handle(device_);
    if (b->mapped)
        vkUnmapMemory(dev, b->memory);
    if (b->buffer)
        vkDestroyBuffer(dev, b->buffer, nullptr);
    if (b->memory)
        vkFreeMemory(dev, b->memory, nullptr);
    delete b;
}

std::shared_ptr<Buffer> BufferPool::wrap(Buffer *b)
{
    std::weak_ptr<bool> alive = alive_;
    BufferPool *self = this;
    return std::shared_ptr<Buffer>(b, [self, alive](Buffer *p) {
        if (auto a = alive.lock(); a && *a)
            self->release(p);
        else
            delete p; // the device, and every handle of it, is gone already
    });
}

std::shared_ptr<Buffer> BufferPool::acquire(size_t bytes)
{
    const size_t size = roundUp(bytes);
    std::lock_guard<std::mutex> lock(mutex_);
    auto best = idle_.end();
    for (auto it = idle_.begin(); it != idle_.end(); ++it) {
        if ((*it)->size >= size && (*it)->size <= size * kMaxWasteFactor &&
            (best == idle_.end() || (*it)->size < (*best)->size))
            best = it;
    }
    if (best != idle_.end()) {
        Buffer *b = *best;
        idle_.erase(best);
        idleBytes_ -= b->size;
        liveBytes_ += b->size;
        peakBytes_ = std::max(peakBytes_, liveBytes_);
        return wrap(b);
    }
    Buffer *b = create(size, false);
    if (!b && !idle_.empty()) {
        // Out of device memory: idle buffers of the wrong size are worth less than this request.
        for (Buffer *i : idle_)
            destroy(i);
        idle_.clear();
        idleBytes_ = 0;
        b = create(size, false);
    }
    if (!b)
        return nullptr;
    liveBytes_ += b->size;
    peakBytes_ = std::max(peakBytes_, liveBytes_);
    return wrap(b);
}

std::shared_ptr<Buffer> BufferPool::acquireStaging(size_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Buffer *b = create(roundUp(bytes), true);
    if (!b)
        return nullptr;
    // Staging memory lives as long as one transfer: it is freed, not pooled, so that host memory
    // does not stay pinned between batches.
    return std::shared_ptr<Buffer>(b, [this](Buffer *p) {
        std::lock_guard<std::mutex> l(mutex_);
        destroy(p);
    });
}

void BufferPool::release(Buffer *b)
{
    std::lock_guard<std::mutex> lock(mutex_);
    liveBytes_ -= b->size;
    idle_.push_back(b);
    idleBytes_ += b->size;
}

void BufferPool::trim()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (Buffer *b : idle_)
        destroy(b);
    idle_.clear();
    idleBytes_ = 0;
}

size_t BufferPool::idleBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return idleBytes_;
}

size_t BufferPool::liveBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return liveBytes_;
}

size_t BufferPool::peakLiveBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return peakBytes_;
}

void BufferPool::resetPeak()
{
    std::lock_guard<std::mutex> lock(mutex_);
    peakBytes_ = liveBytes_;
}

size_t BufferPool::allocationCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return allocations_;
}

void BufferPool::setAllocationCap(size_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    cap_ = bytes;
}

} // namespace brivelle::vk
