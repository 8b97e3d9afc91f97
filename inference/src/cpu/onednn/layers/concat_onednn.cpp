#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"
#include "layers/concat.h"

namespace brivelle::onednn {

namespace {

std::string check(const FastOp &op)
{
    if (op.bottoms.empty() || (op.axis != 0 && op.axis != -3))
        return "only channel concatenation";
    return {};
}

std::string shape(const FastOp &, const std::vector<Shape> &in, Shape &out, double &)
{
    out = in[0];
    out.c = 0;
    for (const Shape &s : in) {
        if (s.h != in[0].h || s.w != in[0].w)
            return "inputs differ in size";
        out.c += s.c;
    }
    return {};
}

std::string lower(LoweringContext &ctx, const Node &node)
{
    // A view: its producers already wrote into its buffer.
    if (node.view)
        return {};
    if (ctx.layout() == Layout::Nhwc) {
        // oneDNN 2.6's channels-last concat copies a few channels at a time, slower than the convolutions
        // around it: each pixel's channel runs are copied whole instead.
        std::vector<Binding> bindings;
        std::vector<int> channels;
        for (size_t k = 0; k < node.in.size(); ++k) {
            bindings.push_back(ctx.bind(DNNL_ARG_MULTIPLE_SRC + static_cast<int>(k), node.in[k]));
            channels.push_back(ctx.shape(node.in[k]).c);
        }
        bindings.push_back(ctx.bind(DNNL_ARG_DST, node.out));
        const Shape out = ctx.shape(node.out);
        ctx.customStep(std::move(bindings), [channels, out](const std::vector<float *> &ptr, RunContext &) {
            concatChannelsLast(ptr, channels, out);
            return 0;
        });
        return {};
    }
    std::vector<dnnl::memory::desc> srcs;
    std::vector<Binding> bindings{ctx.bind(DNNL_ARG_DST, node.out)};
    for (size_t k = 0; k < node.in.size(); ++k) {
        srcs.push_back(ctx.desc(node.in[k]));
        bindings.push_back(ctx.bind(DNNL_ARG_MULTIPLE_SRC + static_cast<int>(k), node.in[k]));
    }
    const dnnl::concat::primitive_desc pd(ctx.desc(node.out), 1, srcs, cpuEngine(), ctx.attributes());
    ctx.primitiveStep(dnnl::concat(pd), std::move(bindings));
    return {};
}

} // namespace

const OpLowering &concatLowering()
{
    static const OpLowering lowering{check, shape, nullptr, lower};
    return lowering;
}

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    op.type = OpType::Concat;
    op.axis = static_cast<const ncnn::Concat &>(layer).axis;
    return 0;
}

} // namespace

extern const OnednnOperator concat_onednn{"Concat", describe};

} // namespace brivelle::onednn
