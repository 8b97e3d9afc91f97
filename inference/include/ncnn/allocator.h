#pragma once

#include <cstddef>

namespace ncnn {

// Alignment of every block handed out by fastMalloc.
constexpr size_t MALLOC_ALIGN = 64;

// The built-in aligned allocation; null when the system has no memory left.
void *fastMalloc(size_t size);
void fastFree(void *ptr);

// Memory source for blobs and scratch space. An allocator that returns null makes the operation that
// asked for memory fail with an error; it never crashes. Implementations must be thread-safe when one
// allocator serves several extractors at once (layers allocate from OpenMP threads too).
class Allocator {
public:
    virtual ~Allocator();
    virtual void *fastMalloc(size_t size) = 0;
    virtual void fastFree(void *ptr) = 0;
};

} // namespace ncnn
