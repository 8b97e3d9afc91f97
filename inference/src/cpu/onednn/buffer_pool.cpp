#include "buffer_pool.h"

#include <cstdlib>

namespace brivelle::onednn {

namespace {
constexpr size_t kAlignment = 64;
}

BufferPool::BufferPool()
    : allocate_([](size_t bytes) { return std::aligned_alloc(kAlignment, bytes); }),
      free_fn_([](void *p) { std::free(p); })
{}

BufferPool::BufferPool(AllocateFn allocate, FreeFn free)
    : allocate_(std::move(allocate)), free_fn_(std::move(free)), keepFreeBlocks_(false)
{}

BufferPool::~BufferPool()
{
    trim();
    for (auto &entry : used_)
        free_fn_(entry.first);
}

float *BufferPool::acquire(size_t bytes)
{
    bytes = (bytes + kAlignment - 1) / kAlignment * kAlignment;
    if (bytes == 0)
        bytes = kAlignment;
    std::lock_guard<std::mutex> lock(mutex_);
    // Best fit, but never hand out a block more than twice the request: that would waste the live set.
    auto it = free_.lower_bound(bytes);
    float *block = nullptr;
    size_t size = bytes;
    if (it != free_.end() && it->first <= 2 * bytes) {
        block = it->second;
        size = it->first;
        free_.erase(it);
    } else {
        block = static_cast<float *>(allocate_(bytes));
        if (!block)
            return nullptr;
    }
    used_[block] = size;
    inUse_ += size;
    if (inUse_ > peak_)
        peak_ = inUse_;
    return block;
}

void BufferPool::release(float *block)
{
    if (!block)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = used_.find(block);
    if (it == used_.end())
        return;
    inUse_ -= it->second;
    if (keepFreeBlocks_)
        free_.emplace(it->second, block);
    else
        free_fn_(block);
    used_.erase(it);
}

void BufferPool::trim()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &entry : free_)
        free_fn_(entry.second);
    free_.clear();
}

size_t BufferPool::bytesInUse() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return inUse_;
}

size_t BufferPool::peakBytes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return peak_;
}

void BufferPool::resetPeak()
{
    std::lock_guard<std::mutex> lock(mutex_);
    peak_ = inUse_;
}

} // namespace brivelle::onednn
