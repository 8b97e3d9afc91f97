// What the GPU lowerings share: device tensors and the dispatch of a kernel over an output volume.
#include "tensor_dispatch.h"
#include "device.h"

#include <ncnn/errors.h>

#include <vector>

namespace brivelle::vk {

namespace {

uint32_t groups(int n, uint32_t local)
{
    return (uint32_t(n) + local - 1) / local;
}

} // namespace

bool allocate(Stream &s, Tensor &t, int w, int h, int c)
{
    t.w = w;
    t.h = h;
    t.c = c;
    t.buf = s.acquire(t.bytes());
    return t.buf != nullptr;
}

void pack(const float *plain, size_t cstep, int w, int h, int c, float *packed)
{
    const size_t plane = size_t(w) * h;
    const int groups = (c + 3) / 4;
    for (int g = 0; g < groups; g++) {
        float *dst = packed + size_t(g) * plane * 4;
        for (int l = 0; l < 4; l++) {
            const int q = g * 4 + l;
            const float *src = q < c ? plain + size_t(q) * cstep : nullptr;
            for (size_t i = 0; i < plane; i++)
                dst[i * 4 + size_t(l)] = src ? src[i] : 0.f;
        }
    }
}

void unpack(const float *packed, int w, int h, int c, float *plain, size_t cstep)
{
    const size_t plane = size_t(w) * h;
    for (int q = 0; q < c; q++) {
        const float *src = packed + size_t(q / 4) * plane * 4 + size_t(q % 4);
        float *dst = plain + size_t(q) * cstep;
        for (size_t i = 0; i < plane; i++)
            dst[i] = src[i * 4];
    }
}

int upload_planes(Stream &s, const float *plain, size_t cstep, const Tensor &t)
{
    std::vector<float> packed(t.count());
    pack(plain, cstep, t.w, t.h, t.c, packed.data());
    return s.upload(packed.data(), t.bytes(), t.buf);
}

int dispatch_volume(Stream &s, const char *shader, std::initializer_list<BufferRef> buffers, const void *push,
                    uint32_t pushBytes, const std::vector<SpecConstant> &specialization, int w, int h, int c)
{
    const Pipeline *p =
        get_pipeline(s.device(), shader, int(buffers.size()), pushBytes, kVolumeLocal, specialization);
    if (!p)
        return ncnn::ERROR_FAILED;
    return s.dispatch(*p, buffers, push, groups(w, kVolumeLocal[0]), groups(h, kVolumeLocal[1]),
                      groups(c, kVolumeLocal[2]), double(w) * h * c);
}

} // namespace brivelle::vk
