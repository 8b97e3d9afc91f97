#include "command.h"

#include "device.h"

#include <ncnn/errors.h>

#include <algorithm>
#include <cstring>

namespace brivelle::vk {

namespace {
constexpr uint32_t kSetsPerPool = 512;
constexpr uint32_t kBindingsPerSet = 8;
// Two pieces in flight keep the GPU busy while the host records the next one.
constexpr size_t kMaxPending = 2;
} // namespace

Stream::Stream(const ncnn::VulkanDevice &device)
    : submitWork_(device.info.d->properties.deviceType == VK_PHYSICAL_DEVICE_TYPE_CPU ? 0.5e9 : 25e9),
      device_(device), dev_(handle(device))
{
    VkCommandPoolCreateInfo info{};
    info.sType = VK_STRUCTURE_TYPE_COMMAND_POOL_CREATE_INFO;
    info.flags = VK_COMMAND_POOL_CREATE_TRANSIENT_BIT;
    info.queueFamilyIndex = device.info.d->computeFamily;
    if (vkCreateCommandPool(dev_, &info, nullptr, &commandPool_) != VK_SUCCESS) {
        commandPool_ = VK_NULL_HANDLE;
        failed_ = true;
    }
}

Stream::~Stream()
{
    while (!pending_.empty())
        waitOldest();
    reset();
    for (VkDescriptorPool p : descriptorPools_)
        vkDestroyDescriptorPool(dev_, p, nullptr);
    if (commandPool_)
        vkDestroyCommandPool(dev_, commandPool_, nullptr);
}

BufferRef Stream::acquire(size_t bytes)
{
    auto best = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it) {
        if ((*it)->size >= bytes && (*it)->size <= 2 * bytes + 65536 &&
            (best == free_.end() || (*it)->size < (*best)->size))
            best = it;
    }
    if (best != free_.end()) {
        BufferRef b = *best;
        free_.erase(best);
        return b;
    }
    return device_.d->pool->acquire(bytes);
}

void Stream::retire(BufferRef b)
{
    if (b)
        free_.push_back(std::move(b));
}

bool Stream::begin()
{
    if (failed_ || !commandPool_)
        return false;
    if (current_)
        return true;
    VkCommandBufferAllocateInfo alloc{};
    alloc.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_ALLOCATE_INFO;
    alloc.commandPool = commandPool_;
    alloc.level = VK_COMMAND_BUFFER_LEVEL_PRIMARY;
    alloc.commandBufferCount = 1;
    if (vkAllocateCommandBuffers(dev_, &alloc, &current_) != VK_SUCCESS) {
        current_ = VK_NULL_HANDLE;
        failed_ = true;
        return false;
    }
    VkCommandBufferBeginInfo info{};
    info.sType = VK_STRUCTURE_TYPE_COMMAND_BUFFER_BEGIN_INFO;
    info.flags = VK_COMMAND_BUFFER_USAGE_ONE_TIME_SUBMIT_BIT;
    vkBeginCommandBuffer(current_, &info);
    // Orders this piece after the earlier ones, whose writes it may read.
    barrier();
    return true;
}

void Stream::barrier()
{
    VkMemoryBarrier b{};
    b.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    b.srcAccessMask = VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_WRITE_BIT;
    b.dstAccessMask = VK_ACCESS_SHADER_READ_BIT | VK_ACCESS_SHADER_WRITE_BIT | VK_ACCESS_TRANSFER_READ_BIT |
                      VK_ACCESS_TRANSFER_WRITE_BIT;
    const VkPipelineStageFlags stages = VK_PIPELINE_STAGE_COMPUTE_SHADER_BIT | VK_PIPELINE_STAGE_TRANSFER_BIT;
    vkCmdPipelineBarrier(current_, stages, stages, 0, 1, &b, 0, nullptr, 0, nullptr);
}

int Stream::upload(const void *src, size_t bytes, const BufferRef &dst)
{
    if (!dst || bytes > dst->size || !begin())
        return ncnn::ERROR_UPLOAD_FAILED;
    BufferRef staging = device_.d->pool->acquireStaging(bytes);
    if (!staging)
        return ncnn::ERROR_OUT_OF_MEMORY;
    std::memcpy(staging->mapped, src, bytes);
    if (!device_.d->stagingCoherent) {
        VkMappedMemoryRange range{VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE, nullptr, staging->memory, 0,
                                  VK_WHOLE_SIZE};
        vkFlushMappedMemoryRanges(dev_, 1, &range);
    }
    VkBufferCopy region{0, 0, bytes};
    vkCmdCopyBuffer(current_, staging->buffer, dst->buffer, 1, &region);
    barrier();
    keep_.push_back(staging);
    keep_.push_back(dst);
    hasCommands_ = true;
    return 0;
}

int Stream::download(const BufferRef &src, size_t bytes, void *dst)
{
    if (!src || bytes > src->size || !begin())
        return ncnn::ERROR_UPLOAD_FAILED;
    BufferRef staging = device_.d->pool->acquireStaging(bytes);
    if (!staging)
        return ncnn::ERROR_OUT_OF_MEMORY;
    VkBufferCopy region{0, 0, bytes};
    vkCmdCopyBuffer(current_, src->buffer, staging->buffer, 1, &region);
    VkMemoryBarrier b{};
    b.sType = VK_STRUCTURE_TYPE_MEMORY_BARRIER;
    b.srcAccessMask = VK_ACCESS_TRANSFER_WRITE_BIT;
    b.dstAccessMask = VK_ACCESS_HOST_READ_BIT;
    vkCmdPipelineBarrier(current_, VK_PIPELINE_STAGE_TRANSFER_BIT, VK_PIPELINE_STAGE_HOST_BIT, 0, 1, &b, 0,
                         nullptr, 0, nullptr);
    keep_.push_back(src);
    downloads_.push_back({staging, bytes, dst});
    hasCommands_ = true;
    return 0;
}

VkDescriptorSet Stream::allocateSet(const Pipeline &p)
{
    if (setsLeft_ == 0) {
        VkDescriptorPoolSize size{VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, kSetsPerPool * kBindingsPerSet};
        VkDescriptorPoolCreateInfo info{};
        info.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_POOL_CREATE_INFO;
        info.maxSets = kSetsPerPool;
        info.poolSizeCount = 1;
        info.pPoolSizes = &size;
        VkDescriptorPool pool = VK_NULL_HANDLE;
        if (vkCreateDescriptorPool(dev_, &info, nullptr, &pool) != VK_SUCCESS)
            return VK_NULL_HANDLE;
        descriptorPools_.push_back(pool);
        setsLeft_ = kSetsPerPool;
    }
    VkDescriptorSetAllocateInfo alloc{};
    alloc.sType = VK_STRUCTURE_TYPE_DESCRIPTOR_SET_ALLOCATE_INFO;
    alloc.descriptorPool = descriptorPools_.back();
    alloc.descriptorSetCount = 1;
    alloc.pSetLayouts = &p.setLayout;
    VkDescriptorSet set = VK_NULL_HANDLE;
    if (vkAllocateDescriptorSets(dev_, &alloc, &set) != VK_SUCCESS)
        return VK_NULL_HANDLE;
    setsLeft_--;
    return set;
}

int Stream::dispatch(const Pipeline &p, std::initializer_list<BufferRef> buffers, const void *push,
                     uint32_t gx, uint32_t gy, uint32_t gz, double work)
{
    const VkPhysicalDeviceLimits &lim = limits(device_);
    if (gx == 0 || gy == 0 || gz == 0)
        return 0;
    if (gx > lim.maxComputeWorkGroupCount[0] || gy > lim.maxComputeWorkGroupCount[1] ||
        gz > lim.maxComputeWorkGroupCount[2] || buffers.size() != static_cast<size_t>(p.bindings) ||
        buffers.size() > kBindingsPerSet)
        return ncnn::ERROR_FAILED;
    for (const BufferRef &b : buffers) {
        if (!b || b->size > lim.maxStorageBufferRange)
            return ncnn::ERROR_FAILED;
    }
    if (!begin())
        return ncnn::ERROR_FAILED;
    VkDescriptorSet set = allocateSet(p);
    if (!set)
        return ncnn::ERROR_FAILED;
    VkDescriptorBufferInfo infos[kBindingsPerSet];
    VkWriteDescriptorSet writes[kBindingsPerSet];
    uint32_t i = 0;
    for (const BufferRef &b : buffers) {
        infos[i] = {b->buffer, 0, VK_WHOLE_SIZE};
        writes[i] = {};
        writes[i].sType = VK_STRUCTURE_TYPE_WRITE_DESCRIPTOR_SET;
        writes[i].dstSet = set;
        writes[i].dstBinding = i;
        writes[i].descriptorCount = 1;
        writes[i].descriptorType = VK_DESCRIPTOR_TYPE_STORAGE_BUFFER;
        writes[i].pBufferInfo = &infos[i];
        keep_.push_back(b);
        i++;
    }
    vkUpdateDescriptorSets(dev_, i, writes, 0, nullptr);
    vkCmdBindPipeline(current_, VK_PIPELINE_BIND_POINT_COMPUTE, p.pipeline);
    vkCmdBindDescriptorSets(current_, VK_PIPELINE_BIND_POINT_COMPUTE, p.layout, 0, 1, &set, 0, nullptr);
    if (p.pushBytes > 0)
        vkCmdPushConstants(current_, p.layout, VK_SHADER_STAGE_COMPUTE_BIT, 0, p.pushBytes, push);
    vkCmdDispatch(current_, gx, gy, gz);
    barrier();
    hasCommands_ = true;
    work_ += work;
    if (work_ >= submitWork_)
        return submit();
    return 0;
}

int Stream::submit()
{
    work_ = 0;
    if (!current_)
        return failed_ ? ncnn::ERROR_FAILED : 0;
    Piece piece;
    piece.cmd = current_;
    current_ = VK_NULL_HANDLE;
    if (vkEndCommandBuffer(piece.cmd) != VK_SUCCESS) {
        failed_ = true;
        vkFreeCommandBuffers(dev_, commandPool_, 1, &piece.cmd);
        return ncnn::ERROR_FAILED;
    }
    VkFenceCreateInfo fenceInfo{};
    fenceInfo.sType = VK_STRUCTURE_TYPE_FENCE_CREATE_INFO;
    if (vkCreateFence(dev_, &fenceInfo, nullptr, &piece.fence) != VK_SUCCESS) {
        failed_ = true;
        vkFreeCommandBuffers(dev_, commandPool_, 1, &piece.cmd);
        return ncnn::ERROR_FAILED;
    }
    VkSubmitInfo info{};
    info.sType = VK_STRUCTURE_TYPE_SUBMIT_INFO;
    info.commandBufferCount = 1;
    info.pCommandBuffers = &piece.cmd;
    VkResult r;
    {
        std::lock_guard<std::mutex> lock(device_.d->queueMutex);
        r = vkQueueSubmit(device_.d->queue, 1, &info, piece.fence);
    }
    if (r != VK_SUCCESS) {
        failed_ = true;
        lost_ = lost_ || r == VK_ERROR_DEVICE_LOST;
        vkDestroyFence(dev_, piece.fence, nullptr);
        vkFreeCommandBuffers(dev_, commandPool_, 1, &piece.cmd);
        return lost_ ? ncnn::ERROR_DEVICE_LOST : ncnn::ERROR_FAILED;
    }
    pending_.push_back(piece);
    while (pending_.size() > kMaxPending) {
        if (const int rc = waitOldest(); rc != 0)
            return rc;
    }
    return 0;
}

int Stream::waitOldest()
{
    Piece piece = pending_.front();
    pending_.pop_front();
    const VkResult r = vkWaitForFences(dev_, 1, &piece.fence, VK_TRUE, UINT64_MAX);
    vkDestroyFence(dev_, piece.fence, nullptr);
    vkFreeCommandBuffers(dev_, commandPool_, 1, &piece.cmd);
    if (r != VK_SUCCESS) {
        failed_ = true;
        lost_ = lost_ || r == VK_ERROR_DEVICE_LOST;
        return lost_ ? ncnn::ERROR_DEVICE_LOST : ncnn::ERROR_FAILED;
    }
    return 0;
}

int Stream::finish()
{
    int rc = submit();
    while (!pending_.empty()) {
        if (const int waited = waitOldest(); waited != 0)
            rc = waited;
    }
    if (failed_)
        rc = lost_ ? ncnn::ERROR_DEVICE_LOST : ncnn::ERROR_FAILED;
    if (rc == 0) {
        for (const Download &d : downloads_) {
            if (!device_.d->stagingCoherent) {
                VkMappedMemoryRange range{VK_STRUCTURE_TYPE_MAPPED_MEMORY_RANGE, nullptr, d.staging->memory,
                                          0, VK_WHOLE_SIZE};
                vkInvalidateMappedMemoryRanges(dev_, 1, &range);
            }
            std::memcpy(d.dst, d.staging->mapped, d.bytes);
        }
    }
    reset();
    return rc;
}

void Stream::reset()
{
    if (current_) {
        vkEndCommandBuffer(current_);
        vkFreeCommandBuffers(dev_, commandPool_, 1, &current_);
        current_ = VK_NULL_HANDLE;
    }
    downloads_.clear();
    keep_.clear();
    free_.clear();
    for (VkDescriptorPool p : descriptorPools_)
        vkResetDescriptorPool(dev_, p, 0);
    setsLeft_ = descriptorPools_.empty() ? 0 : kSetsPerPool;
    // One pool is kept for the next inference; the extra ones a long network needed are freed.
    while (descriptorPools_.size() > 1) {
        vkDestroyDescriptorPool(dev_, descriptorPools_.front(), nullptr);
        descriptorPools_.erase(descriptorPools_.begin());
    }
    work_ = 0;
    hasCommands_ = false;
    failed_ = false;
}

} // namespace brivelle::vk
