#include "blocked_kernels.h"

#include "lowering.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace brivelle::onednn {

namespace {

inline size_t blockedIndex(int c, int y, int x, Shape s, int block)
{
    return ((static_cast<size_t>(c / block) * s.h + y) * s.w + x) * block + c % block;
}

} // namespace

void preluBlocked(const float *src, float *dst, Shape shape, Layout layout, const float *slopes,
                  int slopeCount)
{
    const int block = channelBlock(layout, shape.c);
    const int padded = paddedChannels(layout, shape.c);
    const int blocks = padded / block;
    const size_t plane = static_cast<size_t>(shape.h) * shape.w;
    std::vector<float> slope(static_cast<size_t>(padded), 0.f);
    for (int c = 0; c < shape.c; ++c)
        slope[c] = slopes[slopeCount == 1 ? 0 : c];
    // Channels-last has one block: split its pixels among the threads instead.
    const size_t rows = blocks == 1 ? static_cast<size_t>(shape.h) : 1;
    const size_t rowPixels = plane / rows;
    const long long tasks = static_cast<long long>(blocks) * static_cast<long long>(rows);
#pragma omp parallel for schedule(static)
    for (long long t = 0; t < tasks; ++t) {
        const size_t b = static_cast<size_t>(t) / rows, r = static_cast<size_t>(t) % rows;
        const float *sl = slope.data() + b * block;
        const size_t base = (b * plane + r * rowPixels) * block;
        for (size_t p = 0; p < rowPixels; ++p) {
            for (int i = 0; i < block; ++i) {
                const float v = src[base + p * block + i];
                dst[base + p * block + i] = v < 0.f ? v * sl[i] : v;
            }
        }
    }
}

void pixelShuffleBlocked(const float *src, Shape in, float *dst, Shape out, Layout layout, int factor,
                         int mode)
{
    const int inBlock = channelBlock(layout, in.c), outBlock = channelBlock(layout, out.c);
    const int outChannelsPadded = paddedChannels(layout, out.c);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < out.h; ++y) {
        const int sy = y / factor, i = y % factor;
        for (int oc = 0; oc < outChannelsPadded; ++oc) {
            for (int x = 0; x < out.w; ++x) {
                float v = 0.f;
                if (oc < out.c) {
                    const int sx = x / factor, j = x % factor;
                    const int ic = mode == 0 ? (oc * factor + i) * factor + j : (i * factor + j) * out.c + oc;
                    v = src[blockedIndex(ic, sy, sx, in, inBlock)];
                }
                dst[blockedIndex(oc, y, x, out, outBlock)] = v;
            }
        }
    }
}

void reorgBlocked(const float *src, Shape in, float *dst, Shape out, Layout layout, int stride, int mode)
{
    const int inBlock = channelBlock(layout, in.c), outBlock = channelBlock(layout, out.c);
    const int outChannelsPadded = paddedChannels(layout, out.c);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < out.h; ++y) {
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
            for (int x = 0; x < out.w; ++x) {
                const float v =
                    oc < out.c ? src[blockedIndex(ic, y * stride + i, x * stride + j, in, inBlock)] : 0.f;
                dst[blockedIndex(oc, y, x, out, outBlock)] = v;
            }
        }
    }
}

void concatChannelsLast(const std::vector<float *> &ptr, const std::vector<int> &channels, Shape out,
                        size_t elementBytes)
{
    const size_t inputs = channels.size();
    auto *dst = reinterpret_cast<char *>(ptr[inputs]);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < out.h; ++y) {
        for (int x = 0; x < out.w; ++x) {
            const size_t pixel = static_cast<size_t>(y) * out.w + x;
            char *d = dst + pixel * out.c * elementBytes;
            for (size_t k = 0; k < inputs; ++k) {
                const size_t run = elementBytes * channels[k];
                std::memcpy(d, reinterpret_cast<const char *>(ptr[k]) + pixel * run, run);
                d += run;
            }
        }
    }
}

void toPlanar(const float *src, Layout layout, float *dst, Shape shape, size_t cstep)
{
    const int block = channelBlock(layout, shape.c);
#pragma omp parallel for schedule(static)
    for (int c = 0; c < shape.c; ++c)
        for (int y = 0; y < shape.h; ++y)
            for (int x = 0; x < shape.w; ++x)
                dst[c * cstep + static_cast<size_t>(y) * shape.w + x] =
                    src[blockedIndex(c, y, x, shape, block)];
}

void fromPlanar(const float *src, size_t cstep, float *dst, Layout layout, Shape shape)
{
    const int block = channelBlock(layout, shape.c);
    const int padded = paddedChannels(layout, shape.c);
#pragma omp parallel for schedule(static)
    for (int c = 0; c < padded; ++c)
        for (int y = 0; y < shape.h; ++y)
            for (int x = 0; x < shape.w; ++x)
                dst[blockedIndex(c, y, x, shape, block)] =
                    c < shape.c ? src[c * cstep + static_cast<size_t>(y) * shape.w + x] : 0.f;
}

} // namespace brivelle::onednn
