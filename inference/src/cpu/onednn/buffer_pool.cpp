#include "buffer_pool.h"

#include <cstdlib>

namespace brivelle::onednn {

namespace {
constexpr size_t kAlignment = 64;
}

BufferPool::~BufferPool()
{
    trim();
    for (auto &entry : used_)
        std::free(entry.first);
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
        block = static_cast<float *>(std::aligned_alloc(kAlignment, bytes));
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
    free_.emplace(it->second, block);
    used_.erase(it);
}

void BufferPool::trim()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto &entry : free_)
        std::free(entry.second);
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
