// Element-by-element kernels and the copies that move whole regions: BinaryOp, Eltwise, PReLU,
// Padding, Crop, Concat, Interp, PixelShuffle and Reorg all come down to these.
#include "../device.h"
#include "../gpu_layers.h"

namespace brivelle::vk {

namespace {

// 128 invocations is the least every device allows; 32 wide keeps rows coalesced.
const uint32_t kLocal[3] = {32, 4, 1};

uint32_t groups(int n, uint32_t local)
{
    return (uint32_t(n) + local - 1) / local;
}

int dispatchVolume(Stream &s, const char *shader, std::initializer_list<BufferRef> buffers, const void *push,
                   uint32_t pushBytes, const std::vector<SpecConstant> &specialization, const Tensor &out)
{
    const Pipeline *p = get_pipeline(s.device(), shader, int(buffers.size()), pushBytes, kLocal, specialization);
    if (!p)
        return -1;
    return s.dispatch(*p, buffers, push, groups(out.w, kLocal[0]), groups(out.h, kLocal[1]),
                      groups(out.c, kLocal[2]), double(out.count()));
}

bool broadcastsTo(const Tensor &t, const Tensor &out)
{
    return (t.w == out.w || t.w == 1) && (t.h == out.h || t.h == 1) && (t.c == out.c || t.c == 1);
}

} // namespace

int binary(Stream &s, int op, const Tensor &a, const Tensor &b, float scalar, Tensor &out, float ca, float cb)
{
    const bool scalarB = b.empty();
    if (a.offset != 0 || b.offset != 0)
        return -1;
    if (out.empty()) {
        const int w = scalarB ? a.w : std::max(a.w, b.w);
        const int h = scalarB ? a.h : std::max(a.h, b.h);
        const int c = scalarB ? a.c : std::max(a.c, b.c);
        if (!allocate(s, out, w, h, c))
            return -100;
    }
    if (!broadcastsTo(a, out) || (!scalarB && !broadcastsTo(b, out)))
        return -1;
    struct {
        int32_t w, h, c, aw, ah, ac, bw, bh, bc, bIsScalar;
        float scalar, ca, cb;
    } push{out.w, out.h, out.c, a.w, a.h, a.c, b.w, b.h, b.c, scalarB ? 1 : 0, scalar, ca, cb};
    // A scalar operand still needs a buffer bound; a's serves.
    const BufferRef &bb = scalarB ? a.buf : b.buf;
    return dispatchVolume(s, "binary", {a.buf, bb, out.buf}, &push, sizeof push, {spec_i(op)}, out);
}

int pad(Stream &s, const Tensor &in, Tensor &out, int left, int top, int front, int mode, float value)
{
    if (in.w <= 0 || in.h <= 0 || in.c <= 0 || in.offset != 0 || out.offset != 0)
        return -1;
    struct {
        int32_t w, h, c, inw, inh, inc, left, top, front;
        float value;
    } push{out.w, out.h, out.c, in.w, in.h, in.c, left, top, front, value};
    return dispatchVolume(s, "pad", {in.buf, out.buf}, &push, sizeof push, {spec_i(mode)}, out);
}

int place(Stream &s, const Tensor &in, Tensor &out, int ox, int oy, int oz)
{
    if (in.offset != 0 || out.offset != 0 || ox < 0 || oy < 0 || oz < 0 || ox + in.w > out.w || oy + in.h > out.h || oz + in.c > out.c)
        return -1;
    struct {
        int32_t inw, inh, inc, w, h, ox, oy, oz;
    } push{in.w, in.h, in.c, out.w, out.h, ox, oy, oz};
    const Pipeline *p = get_pipeline(s.device(), "place", 2, sizeof push, kLocal, {});
    if (!p)
        return -1;
    return s.dispatch(*p, {in.buf, out.buf}, &push, groups(in.w, kLocal[0]), groups(in.h, kLocal[1]),
                      groups(in.c, kLocal[2]), double(in.count()));
}

int interp(Stream &s, const Tensor &in, Tensor &out, int mode, bool alignCorner, float scaleX, float scaleY)
{
    if ((mode != 1 && mode != 2) || in.offset != 0 || out.offset != 0)
        return -1;
    struct {
        int32_t w, h, c, inw, inh;
        float sx, sy;
    } push{out.w, out.h, out.c, in.w, in.h, scaleX, scaleY};
    return dispatchVolume(s, "interp", {in.buf, out.buf}, &push, sizeof push,
                          {spec_i(mode), spec_i(alignCorner ? 1 : 0)}, out);
}

int shuffle(Stream &s, const Tensor &in, Tensor &out, bool depthToSpace, int mode, int r)
{
    if (r <= 0 || in.offset != 0 || out.offset != 0)
        return -1;
    struct {
        int32_t w, h, c, inw, inh, inc;
    } push{out.w, out.h, out.c, in.w, in.h, in.c};
    return dispatchVolume(s, "shuffle", {in.buf, out.buf}, &push, sizeof push,
                          {spec_i(depthToSpace ? 1 : 0), spec_i(mode), spec_i(r)}, out);
}

} // namespace brivelle::vk
