#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>

namespace brivelle::onednn {

// Blob storage reused from run to run: steady-state tiles do not touch the system allocator, and
// freed blocks serve later blobs of the same run. Tracks the bytes in use and their high-water mark.
class BufferPool {
public:
    using AllocateFn = std::function<void *(size_t)>;
    using FreeFn = std::function<void(void *)>;

    BufferPool();
    // Blocks come from the caller's allocator (out-of-memory tests, budgets) and go back to it as soon as
    // they are released, so that the caller sees exactly the live set.
    BufferPool(AllocateFn allocate, FreeFn free);
    ~BufferPool();
    BufferPool(const BufferPool &) = delete;
    BufferPool &operator=(const BufferPool &) = delete;

    // Null when the system refuses the memory.
    float *acquire(size_t bytes);
    void release(float *block);
    // Returns every free block to the system.
    void trim();

    size_t bytesInUse() const;
    size_t peakBytes() const;
    void resetPeak();

private:
    AllocateFn allocate_;
    FreeFn free_fn_;
    bool keepFreeBlocks_ = true;
    mutable std::mutex mutex_;
    std::multimap<size_t, float *> free_;
    std::map<float *, size_t> used_;
    size_t inUse_ = 0;
    size_t peak_ = 0;
};

} // namespace brivelle::onednn
