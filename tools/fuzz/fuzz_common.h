#pragma once

#include <ncnn/allocator.h>
#include <ncnn/net.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

// Caps the bytes a fuzzed network may hold (1 MiB: the input is 5x4x3) so that a huge but valid
// network reports
// out-of-memory instead of tripping the fuzzer's RSS limit.
class CappedAllocator : public ncnn::Allocator {
public:
    explicit CappedAllocator(size_t cap) : cap(cap) {}
    void *fastMalloc(size_t size) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (size > cap - used)
            return nullptr;
        void *p = ncnn::fastMalloc(size);
        if (p) {
            used += size;
            sizes[p] = size;
        }
        return p;
    }
    void fastFree(void *ptr) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = sizes.find(ptr);
        if (it != sizes.end()) {
            used -= it->second;
            sizes.erase(it);
        }
        ncnn::fastFree(ptr);
    }

private:
    std::mutex mutex;
    size_t cap;
    size_t used = 0;
    std::unordered_map<void *, size_t> sizes;
};

// Runs a loaded network on a small input and extracts its last blob; any failure is fine, a crash is not.
inline void run_small(ncnn::Net &net, const char *input, const char *output)
{
    CappedAllocator allocator(size_t(1) << 20);
    ncnn::Extractor ex = net.create_extractor();
    ex.set_blob_allocator(&allocator);
    ex.set_workspace_allocator(&allocator);
    ex.set_num_threads(1);
    ncnn::Mat in(5, 4, 3, 4u, &allocator);
    if (in.empty())
        return;
    in.fill(0.5f);
    if (ex.input(input, in) != 0)
        return;
    ncnn::Mat out;
    ex.extract(output, out);
}
