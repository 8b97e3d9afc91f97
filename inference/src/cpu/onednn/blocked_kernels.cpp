#include "blocked_kernels.h"

#include <cstddef>

namespace brivelle::onednn {

namespace {

inline size_t paddedTo(int c, int block)
{
    return static_cast<size_t>((c + block - 1) / block * block);
}

inline size_t blockedIndex(int c, int y, int x, Shape s, int block)
{
    return ((static_cast<size_t>(c / block) * s.h + y) * s.w + x) * block + c % block;
}

} // namespace

void preluBlocked(const float *src, float *dst, Shape shape, int block, const float *slopes, int slopeCount)
{
    const int blocks = static_cast<int>(paddedTo(shape.c, block)) / block;
    const size_t plane = static_cast<size_t>(shape.h) * shape.w;
#pragma omp parallel for schedule(static)
    for (int b = 0; b < blocks; ++b) {
        float slope[64];
        for (int i = 0; i < block; ++i) {
            const int c = b * block + i;
            slope[i] = c < shape.c ? slopes[slopeCount == 1 ? 0 : c] : 0.f;
        }
        const float *s = src + b * plane * block;
        float *d = dst + b * plane * block;
        for (size_t p = 0; p < plane; ++p) {
            for (int i = 0; i < block; ++i) {
                const float v = s[p * block + i];
                d[p * block + i] = v < 0.f ? v * slope[i] : v;
            }
        }
    }
}

void pixelShuffleBlocked(const float *src, Shape in, float *dst, Shape out, int block, int factor, int mode)
{
    const int outChannelsPadded = static_cast<int>(paddedTo(out.c, block));
#pragma omp parallel for schedule(static)
    for (int oc = 0; oc < outChannelsPadded; ++oc) {
        for (int y = 0; y < out.h; ++y) {
            const int sy = y / factor, i = y % factor;
            for (int x = 0; x < out.w; ++x) {
                float v = 0.f;
                if (oc < out.c) {
                    const int sx = x / factor, j = x % factor;
                    const int ic = mode == 0 ? (oc * factor + i) * factor + j : (i * factor + j) * out.c + oc;
                    v = src[blockedIndex(ic, sy, sx, in, block)];
                }
                dst[blockedIndex(oc, y, x, out, block)] = v;
            }
        }
    }
}

void reorgBlocked(const float *src, Shape in, float *dst, Shape out, int block, int stride, int mode)
{
    const int outChannelsPadded = static_cast<int>(paddedTo(out.c, block));
#pragma omp parallel for schedule(static)
    for (int oc = 0; oc < outChannelsPadded; ++oc) {
        int ic = 0, i = 0, j = 0;
        if (oc < out.c) {
            const int sub = stride * stride;
            if (mode == 0) {
                ic = oc / sub;
                i = oc % sub / stride;
                j = oc % stride;
            } else {
                ic = oc % in.c;
                i = oc / in.c / stride;
                j = oc / in.c % stride;
            }
        }
        for (int y = 0; y < out.h; ++y) {
            for (int x = 0; x < out.w; ++x) {
                const float v =
                    oc < out.c ? src[blockedIndex(ic, y * stride + i, x * stride + j, in, block)] : 0.f;
                dst[blockedIndex(oc, y, x, out, block)] = v;
            }
        }
    }
}

} // namespace brivelle::onednn
