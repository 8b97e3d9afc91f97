#include "cpu/onednn/lowering.h"
#include "layers/pooling.h"

#include <algorithm>
#include <array>

namespace brivelle::onednn {

namespace {

// ncnn's padding for an input size: left, right, top, bottom, the ceil tail of pad mode 0 included.
std::array<int, 4> poolingPads(const FastOp &op, Shape in)
{
    int pl = op.padLeft, pr = op.padRight, pt = op.padTop, pb = op.padBottom;
    if (op.padMode == 0) {
        const int wtail = (in.w + pl + pr - op.kernelW) % op.strideW;
        const int htail = (in.h + pt + pb - op.kernelH) % op.strideH;
        if (wtail != 0)
            pr += op.strideW - wtail;
        if (htail != 0)
            pb += op.strideH - htail;
    } else if (op.padMode == 2 || op.padMode == 3) {
        ncnn::same_padding(in.w, op.kernelW, op.strideW, op.padMode == 2, pl, pr);
        ncnn::same_padding(in.h, op.kernelH, op.strideH, op.padMode == 2, pt, pb);
    }
    return {pl, pr, pt, pb};
}

std::string check(const FastOp &op)
{
    if (op.bottoms.size() != 1 || op.poolingType < 0 || op.poolingType > 1 || op.padMode < 0 ||
        op.padMode > 3)
        return "pooling type or pad mode";
    // ncnn gives a one-dimensional blob there; the plan's blobs are three-dimensional.
    if (op.globalPooling)
        return "global pooling";
    if (op.kernelW < 1 || op.kernelH < 1 || op.strideW < 1 || op.strideH < 1)
        return "non-positive size";
    return {};
}

std::string shape(const FastOp &op, const std::vector<Shape> &inputs, Shape &out, double &)
{
    const Shape in = inputs[0];
    const auto pads = poolingPads(op, in);
    const int ww = in.w + pads[0] + pads[1], hh = in.h + pads[2] + pads[3];
    if (ww < op.kernelW || hh < op.kernelH)
        return "input smaller than the kernel";
    out = Shape{in.c, (hh - op.kernelH) / op.strideH + 1, (ww - op.kernelW) / op.strideW + 1};
    return {};
}

std::string lower(LoweringContext &ctx, const Node &node)
{
    const FastOp &op = ctx.op(node.op);
    const Shape in = ctx.shape(node.in[0]);
    const auto pads = poolingPads(op, in);
    // Averages that count the declared padding but not the ceil tail have no oneDNN algorithm.
    const bool tail = pads[1] != op.padRight || pads[3] != op.padBottom;
    const bool declared = op.padLeft || op.padRight || op.padTop || op.padBottom;
    if (op.poolingType == 1 && op.countIncludePad && tail && declared)
        return lowerOnReference(ctx, node);
    dnnl::algorithm alg = dnnl::algorithm::pooling_max;
    if (op.poolingType == 1)
        alg = op.countIncludePad && !tail ? dnnl::algorithm::pooling_avg_include_padding
                                          : dnnl::algorithm::pooling_avg_exclude_padding;
    try {
        const dnnl::pooling_forward::primitive_desc pd(
            dnnl::pooling_forward::desc(dnnl::prop_kind::forward_inference, alg, ctx.desc(node.in[0]),
                                        ctx.desc(node.out), {op.strideH, op.strideW},
                                        {op.kernelH, op.kernelW}, {pads[2], pads[0]}, {pads[3], pads[1]}),
            ctx.attributes(), cpuEngine());
        ctx.primitiveStep(dnnl::pooling_forward(pd),
                          {ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)});
    } catch (const dnnl::error &) {
        // Padding as wide as the kernel, say: windows oneDNN refuses but ncnn defines.
        return lowerOnReference(ctx, node);
    }
    return {};
}

} // namespace

const OpLowering &poolingLowering()
{
    static const OpLowering lowering{check, shape, nullptr, lower};
    return lowering;
}

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    const auto &p = static_cast<const ncnn::Pooling &>(layer);
    // Global pooling stays on the reference layer.
    op.type = p.global_pooling ? OpType::Reference : OpType::Pooling;
    op.poolingType = p.pooling_type;
    op.globalPooling = p.global_pooling != 0;
    op.padMode = p.pad_mode;
    op.countIncludePad = p.avgpool_count_include_pad != 0;
    op.kernelW = p.kernel_w;
    op.kernelH = p.kernel_h;
    op.strideW = p.stride_w;
    op.strideH = p.stride_h;
    op.padLeft = p.pad_left;
    op.padRight = p.pad_right;
    op.padTop = p.pad_top;
    op.padBottom = p.pad_bottom;
    return 0;
}

} // namespace

extern const OnednnOperator pooling_onednn{"Pooling", describe};

} // namespace brivelle::onednn
