#pragma once

// The one failing allocator of the runtime's tests: injected out-of-memory at a chosen allocation or
// past a cap of bytes in use, with a count of calls, the peak in use, and a check that every block came
// back. It also serves as the block source of a oneDNN BufferPool (its allocate and free functions).

#include <ncnn/allocator.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace rtest {

class FailingAllocator : public ncnn::Allocator {
public:
    // Whether the allocations after the refused one are refused too.
    enum class Then { Allow, Refuse };

    // Refuses the `failAt`-th allocation (counted from 1; 0 refuses none) and any that would take the
    // bytes in use past `cap`.
    explicit FailingAllocator(int failAt = 0, size_t cap = SIZE_MAX, Then then = Then::Allow)
        : failAt(failAt), cap(cap), then(then)
    {}
    ~FailingAllocator() override { EXPECT_EQ(inUse, 0u) << "blocks leaked"; }

    void *fastMalloc(size_t size) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls++;
        const bool refused = failAt > 0 && (calls == failAt || (then == Then::Refuse && calls > failAt));
        if (refused || size > cap - inUse)
            return nullptr;
        void *p = ncnn::fastMalloc(size);
        if (!p)
            return nullptr;
        sizes[p] = size;
        inUse += size;
        peak = std::max(peak, inUse);
        largest = std::max(largest, size);
        return p;
    }
    void fastFree(void *ptr) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        inUse -= sizes.at(ptr);
        sizes.erase(ptr);
        ncnn::fastFree(ptr);
    }

    int calls = 0;
    size_t peak = 0;    // bytes in use at most
    size_t largest = 0; // the largest block handed out

private:
    std::mutex mutex;
    const int failAt;
    const size_t cap;
    const Then then;
    size_t inUse = 0;
    std::unordered_map<void *, size_t> sizes;
};

} // namespace rtest
