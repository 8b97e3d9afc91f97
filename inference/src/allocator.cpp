#include <ncnn/allocator.h>

#include <cstdlib>

namespace ncnn {

void *fastMalloc(size_t size)
{
    // aligned_alloc wants a multiple of the alignment.
    const size_t rounded = (size + MALLOC_ALIGN - 1) / MALLOC_ALIGN * MALLOC_ALIGN;
    if (rounded < size)
        return nullptr;
#if defined(_WIN32)
    return _aligned_malloc(rounded == 0 ? MALLOC_ALIGN : rounded, MALLOC_ALIGN);
#else
    return std::aligned_alloc(MALLOC_ALIGN, rounded == 0 ? MALLOC_ALIGN : rounded);
#endif
}

void fastFree(void *ptr)
{
#if defined(_WIN32)
    _aligned_free(ptr);
#else
    std::free(ptr);
#endif
}

Allocator::~Allocator() = default;

} // namespace ncnn
