#include "cpu/onednn/lowering.h"
#include "layers/interp.h"

namespace brivelle::onednn {

namespace {

std::string check(const FastOp &op)
{
    if (op.bottoms.size() != 1 || op.resizeType != 1)
        return "only nearest resizing";
    return {};
}

std::string shape(const FastOp &op, const std::vector<Shape> &inputs, Shape &out, double &)
{
    const Shape in = inputs[0];
    out = in;
    out.h = op.outHeight > 0 ? op.outHeight : static_cast<int>(in.h * op.heightScale);
    out.w = op.outWidth > 0 ? op.outWidth : static_cast<int>(in.w * op.widthScale);
    // oneDNN's nearest rounds source coordinates from pixel centres; they agree for whole factors.
    if (out.h <= 0 || out.w <= 0 || out.h % in.h || out.w % in.w)
        return "only whole upscale factors";
    return {};
}

std::string lower(LoweringContext &ctx, const Node &node)
{
    const dnnl::resampling_forward::primitive_desc pd(
        dnnl::resampling_forward::desc(dnnl::prop_kind::forward_inference,
                                       dnnl::algorithm::resampling_nearest, ctx.desc(node.in[0]),
                                       ctx.desc(node.out)),
        ctx.attributes(), cpuEngine());
    ctx.primitiveStep(dnnl::resampling_forward(pd),
                      {ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)});
    return {};
}

} // namespace

const OpLowering &interpLowering()
{
    static const OpLowering lowering{check, shape, nullptr, lower};
    return lowering;
}

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    const auto &in = static_cast<const ncnn::Interp &>(layer);
    op.type = OpType::Interp;
    op.resizeType = in.resize_type;
    op.heightScale = in.height_scale;
    op.widthScale = in.width_scale;
    op.outHeight = in.output_height;
    op.outWidth = in.output_width;
    op.alignCorner = in.align_corner != 0;
    return 0;
}

} // namespace

extern const OnednnOperator interp_onednn{"Interp", describe};

} // namespace brivelle::onednn
