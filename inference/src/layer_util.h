#pragma once

#include "layer.h"

#include <algorithm>

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace ncnn {

// Subnormal floats cost a hundred times more on x86; trained weights produce them in deep stacks.
// Flushing them to zero (as ncnn does) changes results by less than any tolerance. Per calling thread.
inline void flush_denormals()
{
#if defined(__SSE__) || defined(_M_X64)
    _mm_setcsr(_mm_getcsr() | 0x8040); // FTZ and DAZ
#endif
}

// Calls f(float *plane, size_t count, int q) for each channel of an fp32 Mat of any rank.
template <typename F> void for_each_channel(Mat &m, int num_threads, F f)
{
    const size_t plane = static_cast<size_t>(m.w) * m.h * m.d * m.elempack;
    const int channels = m.c;
#pragma omp parallel for num_threads(num_threads)
    for (int q = 0; q < channels; q++)
        f(static_cast<float *>(m.data) + m.cstep * m.elempack * q, plane, q);
}

// A blob seen as channels x rows x columns: 1-D is 1 x 1 x w, 2-D is 1 x h x w.
struct View3 {
    int c, h, w;
};
inline View3 view3(const Shape &s)
{
    if (s.dims == 1)
        return {1, 1, s.w};
    if (s.dims == 2)
        return {1, s.h, s.w};
    return {s.c, s.h, s.w};
}

// Creates an fp32 Mat of the given rank and size (c, h ignored below their rank).
inline void create_dims(Mat &m, int dims, int w, int h, int c, Allocator *allocator)
{
    if (dims == 1)
        m.create(w, 4u, allocator);
    else if (dims == 2)
        m.create(w, h, 4u, allocator);
    else
        m.create(w, h, c, 4u, allocator);
}

// Pointer to element (q, y, x) of a rank 1..3 fp32 Mat.
inline float *at(Mat &m, int q, int y, int x)
{
    return static_cast<float *>(m.data) + m.cstep * q + static_cast<size_t>(y) * m.w + x;
}
inline const float *at(const Mat &m, int q, int y, int x)
{
    return static_cast<const float *>(m.data) + m.cstep * q + static_cast<size_t>(y) * m.w + x;
}

inline bool plain_fp32(const Mat &m)
{
    return !m.empty() && m.elemsize == 4 && m.elempack == 1 && m.dims >= 1 && m.dims <= 3;
}

} // namespace ncnn
