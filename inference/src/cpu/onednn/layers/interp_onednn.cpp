#include "cpu/onednn/lowering.h"
#include "layers/interp.h"

namespace brivelle::onednn {

namespace {

int supportsParameters(const ncnn::Layer &layer, std::string &why)
{
    if (layer.bottoms.size() != 1 || static_cast<const ncnn::Interp &>(layer).resize_type != 1) {
        why = "only nearest resizing";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

// oneDNN's nearest rounds source coordinates from pixel centres; they agree with the layer's for whole
// factors only.
int supports(const ncnn::Layer &layer, const std::vector<Shape> &in, const Shape &out, std::string &why)
{
    if (const int ret = supportsParameters(layer, why); ret != 0 || in.empty())
        return ret;
    if (out.h % in[0].h || out.w % in[0].w) {
        why = "only whole upscale factors";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

int lower(LoweringContext &ctx, const Node &node, std::string &)
{
    const dnnl::resampling_forward::primitive_desc pd(
        dnnl::resampling_forward::desc(dnnl::prop_kind::forward_inference,
                                       dnnl::algorithm::resampling_nearest, ctx.desc(node.in[0]),
                                       ctx.desc(node.out)),
        ctx.attributes(), cpuEngine());
    ctx.primitiveStep(dnnl::resampling_forward(pd),
                      {ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)});
    return 0;
}

} // namespace

extern const OnednnOperator interp_onednn{"Interp", supports, nullptr, lower, nullptr, bf16Always, false};

} // namespace brivelle::onednn
