// Concat on the GPU: each input placed at its offset in the output. Concatenations along channels
// offer themselves to be assembled in place by their producers (see the plan's concat groups).
#include "concat_vulkan.h"
#include "../../layers/concat.h"
#include "gpu_layer.h"

namespace brivelle::vk {

int place(Stream &s, const Tensor &in, Tensor &out, int ox, int oy, int oz)
{
    if (in.offset != 0 || out.offset != 0 || ox < 0 || oy < 0 || oz < 0 || ox + in.w > out.w ||
        oy + in.h > out.h || oz + in.c > out.c)
        return ncnn::ERROR_FAILED;
    struct {
        int32_t inw, inh, inc, w, h, c, ox, oy, oz;
    } push{in.w, in.h, in.c, out.w, out.h, out.c, ox, oy, oz};
    // The output's channel groups that the input reaches.
    const int groups = (oz + in.c - 1) / 4 - oz / 4 + 1;
    return dispatch_volume(s, "place", {in.buf, out.buf}, &push, sizeof push, {}, in.w, in.h, groups);
}

namespace {

class ConcatLayer : public GpuLayer {
public:
    using GpuLayer::GpuLayer;

    int forward(Stream &s, const std::vector<const Tensor *> &in, Tensor &out) const override
    {
        const int a = axis();
        int offset = 0;
        for (const Tensor *t : in) {
            const int rc = place(s, *t, out, a == 2 ? offset : 0, a == 1 ? offset : 0, a == 0 ? offset : 0);
            if (rc != 0)
                return rc;
            offset += a == 0 ? t->c : a == 1 ? t->h : t->w;
        }
        return 0;
    }

private:
    int axis() const
    {
        const int a = static_cast<const ncnn::Concat &>(layer_).axis;
        return a < 0 ? a + 3 : a;
    }
};

} // namespace

extern const GpuLayerEntry concat_vulkan{"Concat", nullptr, create_plain<ConcatLayer>};

} // namespace brivelle::vk
