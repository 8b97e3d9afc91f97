#include "cpu/onednn/lowering.h"
#include "layers/pooling.h"

#include <algorithm>
#include <array>

namespace brivelle::onednn {

namespace {

const ncnn::Pooling &pooling(const ncnn::Layer &layer)
{
    return static_cast<const ncnn::Pooling &>(layer);
}

// The layer's own padding for an input size (the ceil tail of pad mode 0 included): left, right, top, bottom.
std::array<int, 4> poolingPads(const ncnn::Pooling &op, Shape in)
{
    std::array<int, 4> pads{};
    op.padding(in.w, in.h, pads[0], pads[1], pads[2], pads[3]);
    return pads;
}

int supports(const ncnn::Layer &layer, const std::vector<Shape> &, const Shape &, std::string &why)
{
    const ncnn::Pooling &op = pooling(layer);
    if (layer.bottoms.size() != 1 || op.pooling_type < 0 || op.pooling_type > 1 || op.pad_mode < 0 ||
        op.pad_mode > 3)
        why = "pooling type or pad mode";
    // ncnn gives a one-dimensional blob there; the plan's blobs are three-dimensional.
    else if (op.global_pooling)
        why = "global pooling";
    else if (op.kernel_w < 1 || op.kernel_h < 1 || op.stride_w < 1 || op.stride_h < 1)
        why = "non-positive size";
    else
        return 0;
    return ncnn::ERROR_UNSUPPORTED_LAYER;
}

int lower(LoweringContext &ctx, const Node &node, std::string &why)
{
    const ncnn::Pooling &op = pooling(*node.layer);
    const Shape in = ctx.shape(node.in[0]);
    const auto pads = poolingPads(op, in);
    // Averages that count the declared padding but not the ceil tail have no oneDNN algorithm.
    const bool tail = pads[1] != op.pad_right || pads[3] != op.pad_bottom;
    const bool declared = op.pad_left || op.pad_right || op.pad_top || op.pad_bottom;
    const bool countPad = op.avgpool_count_include_pad != 0;
    if (op.pooling_type == 1 && countPad && tail && declared)
        return lowerOnReference(ctx, node, why);
    dnnl::algorithm alg = dnnl::algorithm::pooling_max;
    if (op.pooling_type == 1)
        alg = countPad && !tail ? dnnl::algorithm::pooling_avg_include_padding
                                : dnnl::algorithm::pooling_avg_exclude_padding;
    try {
        const dnnl::pooling_forward::primitive_desc pd(
            dnnl::pooling_forward::desc(dnnl::prop_kind::forward_inference, alg, ctx.desc(node.in[0]),
                                        ctx.desc(node.out), {op.stride_h, op.stride_w},
                                        {op.kernel_h, op.kernel_w}, {pads[2], pads[0]}, {pads[3], pads[1]}),
            ctx.attributes(), cpuEngine());
        ctx.primitiveStep(dnnl::pooling_forward(pd),
                          {ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)});
    } catch (const dnnl::error &) {
        // Padding as wide as the kernel, say: windows oneDNN refuses but ncnn defines.
        return lowerOnReference(ctx, node, why);
    }
    return 0;
}

} // namespace

extern const OnednnOperator pooling_onednn{"Pooling", supports, nullptr, lower, nullptr, nullptr, false};

} // namespace brivelle::onednn
