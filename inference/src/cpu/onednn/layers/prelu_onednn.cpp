#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"
#include "layers/prelu.h"

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

namespace {

int describe(const ncnn::Layer &layer, bool withWeights, FastOp &op, std::string &why)
{
    const auto &p = static_cast<const ncnn::PReLU &>(layer);
    op.type = OpType::PReLU;
    op.slopes = withWeights ? floatsOf(p.slope_data) : std::vector<float>(p.num_slope, 0.f);
    if (op.slopes.size() != static_cast<size_t>(p.num_slope)) {
        why = "PReLU slopes not loaded";
        return ncnn::ERROR_BAD_MODEL;
    }
    return 0;
}

} // namespace

extern const OnednnOperator prelu_onednn{"PReLU", describe};

} // namespace brivelle::onednn
