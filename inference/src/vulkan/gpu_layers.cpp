// What the GPU lowerings share: device tensors and the dispatch of a kernel over an output volume.
#include "gpu_layers.h"
#include "device.h"

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

int dispatch_volume(Stream &s, const char *shader, std::initializer_list<BufferRef> buffers, const void *push,
                    uint32_t pushBytes, const std::vector<SpecConstant> &specialization, int w, int h, int c)
{
    const Pipeline *p =
        get_pipeline(s.device(), shader, int(buffers.size()), pushBytes, kVolumeLocal, specialization);
    if (!p)
        return -1;
    return s.dispatch(*p, buffers, push, groups(w, kVolumeLocal[0]), groups(h, kVolumeLocal[1]),
                      groups(c, kVolumeLocal[2]), double(w) * h * c);
}

} // namespace brivelle::vk
