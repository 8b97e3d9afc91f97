#pragma once

#include <cstddef>

namespace ncnn {

// Memory source for blobs and scratch space. An allocator that returns null makes the operation that
// asked for memory fail with an error; it never crashes. Implementations must be thread-safe when one
// allocator serves several extractors at once.
class Allocator {
public:
    virtual ~Allocator();
    virtual void *fastMalloc(size_t size) = 0;
    virtual void fastFree(void *ptr) = 0;
};

} // namespace ncnn
