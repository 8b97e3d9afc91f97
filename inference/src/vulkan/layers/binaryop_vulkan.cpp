// BinaryOp on the GPU, and the element-by-element kernel that Eltwise and PReLU share with it.
#include "binaryop_vulkan.h"
#include "../../layers/binaryop.h"
#include "gpu_layer.h"

namespace brivelle::vk {

namespace {

bool broadcastsTo(const Tensor &t, const Tensor &out)
{
    return (t.w == out.w || t.w == 1) && (t.h == out.h || t.h == 1) && (t.c == out.c || t.c == 1);
}

} // namespace

int binary(Stream &s, int op, const Tensor &a, const Tensor &b, float scalar, Tensor &out, float ca, float cb)
{
    const bool scalarB = b.empty();
    if (a.offset != 0 || b.offset != 0)
        return ncnn::ERROR_FAILED;
    if (out.empty()) {
        const int w = scalarB ? a.w : std::max(a.w, b.w);
        const int h = scalarB ? a.h : std::max(a.h, b.h);
        const int c = scalarB ? a.c : std::max(a.c, b.c);
        if (!allocate(s, out, w, h, c))
            return ncnn::ERROR_OUT_OF_MEMORY;
    }
    if (out.offset != 0 || !broadcastsTo(a, out) || (!scalarB && !broadcastsTo(b, out)))
        return ncnn::ERROR_FAILED;
    struct {
        int32_t w, h, c, aw, ah, ac, bw, bh, bc, bIsScalar;
        float scalar, ca, cb;
    } push{out.w, out.h, out.c, a.w, a.h, a.c, b.w, b.h, b.c, scalarB ? 1 : 0, scalar, ca, cb};
    // A scalar operand still needs a buffer bound; a's serves.
    const BufferRef &bb = scalarB ? a.buf : b.buf;
    return dispatch_volume(s, "binary", {a.buf, bb, out.buf}, &push, sizeof push, {spec_i(op)}, out.w, out.h,
                           out.groups());
}

namespace {

class BinaryOpLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const auto &b = op();
        if (b.with_scalar || in.size() == 1)
            return binary(s, b.op_type, *in[0], Tensor{}, b.b, out);
        return binary(s, b.op_type, *in[0], *in[1], 0.f, out);
    }

private:
    const ncnn::BinaryOp &op() const { return static_cast<const ncnn::BinaryOp &>(layer_); }
};

} // namespace

extern const GpuLayerEntry binaryop_vulkan{"BinaryOp", nullptr, create_plain<BinaryOpLayer>};

} // namespace brivelle::vk
