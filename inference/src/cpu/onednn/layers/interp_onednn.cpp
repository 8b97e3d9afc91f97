#include "cpu/onednn/lowering.h"
#include "layers/interp.h"

namespace brivelle::onednn {

namespace {

int check(const ncnn::Layer &layer, std::string &why)
{
    if (layer.bottoms.size() != 1 || static_cast<const ncnn::Interp &>(layer).resize_type != 1) {
        why = "only nearest resizing";
        return ncnn::ERROR_UNSUPPORTED_LAYER;
    }
    return 0;
}

int shape(const ncnn::Layer &layer, const std::vector<Shape> &inputs, Shape &out, double &, std::string &why)
{
    const auto &op = static_cast<const ncnn::Interp &>(layer);
    const Shape in = inputs[0];
    out = in;
    out.h = op.output_height > 0 ? op.output_height : static_cast<int>(in.h * op.height_scale);
    out.w = op.output_width > 0 ? op.output_width : static_cast<int>(in.w * op.width_scale);
    // oneDNN's nearest rounds source coordinates from pixel centres; they agree for whole factors.
    if (out.h <= 0 || out.w <= 0 || out.h % in.h || out.w % in.w) {
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

extern const OnednnOperator interp_onednn{"Interp", Role::Compute, check, shape, nullptr, lower, nullptr};

} // namespace brivelle::onednn
