// PixelShuffle and its inverse, Reorg: index shuffles oneDNN has no primitive for.

#include "cpu/onednn/blocked_kernels.h"
#include "cpu/onednn/lowering.h"
#include "layers/pixelshuffle.h"

namespace brivelle::onednn {

namespace {

std::string check(const FastOp &op)
{
    if (op.bottoms.size() != 1 || op.factor < 1 || op.mode < 0 || op.mode > 1)
        return "factor or mode";
    return {};
}

std::string shuffleShape(const FastOp &op, const std::vector<Shape> &inputs, Shape &out, double &)
{
    const Shape in = inputs[0];
    if (in.c % (op.factor * op.factor))
        return "channels not divisible by the factor squared";
    out.c = in.c / (op.factor * op.factor);
    out.h = in.h * op.factor;
    out.w = in.w * op.factor;
    return {};
}

std::string reorgShape(const FastOp &op, const std::vector<Shape> &inputs, Shape &out, double &)
{
    const Shape in = inputs[0];
    out.c = in.c * op.factor * op.factor;
    out.h = in.h / op.factor;
    out.w = in.w / op.factor;
    if (out.h <= 0 || out.w <= 0)
        return "input smaller than the stride";
    return {};
}

std::string lower(LoweringContext &ctx, const Node &node)
{
    const FastOp &op = ctx.op(node.op);
    const Shape in = ctx.shape(node.in[0]), out = ctx.shape(node.out);
    const Layout layout = ctx.layout();
    const int factor = op.factor, mode = op.mode;
    const bool shuffle = op.type == OpType::PixelShuffle;
    ctx.customStep({ctx.bind(DNNL_ARG_SRC, node.in[0]), ctx.bind(DNNL_ARG_DST, node.out)},
                   [=](const std::vector<float *> &ptr, RunContext &) {
                       if (shuffle)
                           pixelShuffleBlocked(ptr[0], in, ptr[1], out, layout, factor, mode);
                       else
                           reorgBlocked(ptr[0], in, ptr[1], out, layout, factor, mode);
                       return 0;
                   });
    return {};
}

} // namespace

const OpLowering &pixelShuffleLowering()
{
    static const OpLowering lowering{check, shuffleShape, nullptr, lower};
    return lowering;
}

const OpLowering &reorgLowering()
{
    static const OpLowering lowering{check, reorgShape, nullptr, lower};
    return lowering;
}

namespace {

int describe(const ncnn::Layer &layer, bool, FastOp &op, std::string &)
{
    const auto &ps = static_cast<const ncnn::PixelShuffle &>(layer);
    op.type = OpType::PixelShuffle;
    op.factor = ps.upscale_factor;
    op.mode = ps.mode;
    return 0;
}

} // namespace

extern const OnednnOperator pixelshuffle_onednn{"PixelShuffle", describe};

} // namespace brivelle::onednn
