#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"

namespace brivelle::onednn {

namespace {

std::string check(const FastOp &op)
{
    return op.bottoms.size() != 1 || op.slopes.empty() ? "slopes" : std::string();
}

std::string shape(const FastOp &op, const std::vector<Shape> &in, Shape &out, double &)
{
    if (op.slopes.size() != 1 && op.slopes.size() != static_cast<size_t>(in[0].c))
        return "slope count";
    out = in[0];
    return {};
}

std::string lower(LoweringContext &ctx, const Node &node)
{
    const std::vector<float> slopes = ctx.op(node.op).slopes;
    const Shape in = ctx.shape(node.in[0]);
    const Layout layout = ctx.layout();
    ctx.customStep({ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)},
                   [slopes, in, layout](const std::vector<float *> &ptr, RunContext &) {
                       preluBlocked(ptr[0], ptr[1], in, layout, slopes.data(),
                                    static_cast<int>(slopes.size()));
                       return 0;
                   });
    return {};
}

} // namespace

const OpLowering &preluLowering()
{
    static const OpLowering lowering{check, shape, nullptr, lower};
    return lowering;
}

} // namespace brivelle::onednn
